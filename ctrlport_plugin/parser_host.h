// Helpers of the command handlers around the client's function table: the table itself (or one
// without functions before the client set it) and an owner for memory that the client hands out.
#ifndef CTRLPORT_PARSER_HOST_H
#define CTRLPORT_PARSER_HOST_H

#include "host.h"

// The client's table, or a table without functions.
inline const HostFunctions& hostTable()
{
    static const HostFunctions empty{};
    const HostFunctions* functions = hostFunctions();
    return functions ? *functions : empty;
}

// Holds memory that a host function handed out through an out-parameter and gives it back with
// freeHostMemory when it goes, on every road out of a handler (also after a host error).
template <typename T>
class HostMemory
{
public:
    HostMemory() = default;
    ~HostMemory() { release(); }
    HostMemory(const HostMemory&) = delete;
    HostMemory& operator=(const HostMemory&) = delete;

    // The out-parameter for the host call; memory held before is given back first.
    T** out()
    {
        release();
        return &m_pointer;
    }
    T* get() const { return m_pointer; }

    void release()
    {
        if (m_pointer && hostTable().freeHostMemory)
            hostTable().freeHostMemory(m_pointer);
        m_pointer = nullptr;
    }

private:
    T* m_pointer = nullptr;
};

#endif
