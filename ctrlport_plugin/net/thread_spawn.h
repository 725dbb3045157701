#pragma once

// ThreadSpawn<T>: the functor that every thread of the telnet plug-in runs. It calls one member
// function of its object and keeps any exception from leaving the thread (an exception escaping a
// boost::thread would end the whole client process). The loops run by it catch and log their own
// exceptions per pass; this is the last line of defence.

template <class T>
class ThreadSpawn
{
public:
    typedef void (T::*Method)();

    ThreadSpawn(T* object, Method method) : m_Object(object), m_Method(method) {}

    void operator()() const
    {
        try {
            (m_Object->*m_Method)();
        } catch (...) {
        }
    }

private:
    T* m_Object;
    Method m_Method;
};
