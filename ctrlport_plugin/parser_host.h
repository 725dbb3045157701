// An owner for memory that the client hands out to the command handlers.
#ifndef CTRLPORT_PARSER_HOST_H
#define CTRLPORT_PARSER_HOST_H

#include "host.h"

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
        if (m_pointer)
            hostTable().freeHostMemory(m_pointer);
        m_pointer = nullptr;
    }

private:
    T* m_pointer = nullptr;
};

#endif
