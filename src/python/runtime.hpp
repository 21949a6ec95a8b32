// What every entry point shares at run time: the scoped release of the
// interpreter lock, once-only process-wide caches, and the boundary that turns
// C++ failures into Python exceptions.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "../lib/failure.hpp"
#include "ref.hpp"

namespace ornel::py {

// Detaches the thread state for the lifetime of the guard. The destructor
// re-attaches it, also while an exception unwinds, so the lock is back before
// any failure reaches the boundary. Touch no Python object inside the scope.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* state_;
};

// A pointer filled once per process by `make`, which runs attached to the
// interpreter. Waiters block on the mutex with the lock released, so a `make`
// that itself drops the lock (an import does) cannot deadlock against them.
template <class T>
class OnceCache {
public:
    template <class Make>
    T* get(Make&& make) {
        if (T* value = value_.load(std::memory_order_acquire)) return value;
        {
            ReleasedGil released;
            mutex_.lock();
        }
        std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
        if (T* value = value_.load(std::memory_order_acquire)) return value;
        T* value = make();
        value_.store(value, std::memory_order_release);
        return value;
    }

private:
    std::atomic<T*> value_{nullptr};
    std::mutex mutex_;
};

// Raises PanicException (a direct subclass of BaseException) with `message`.
void raise_panic(const std::string& message);

// Runs an entry point's body: a result, or NULL with an exception set.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const CoreFailure& failure) {
        raise_panic(failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    }
    return nullptr;
}

// The same for slots that report failure with -1.
template <class Body>
int call_boundary_status(Body&& body) noexcept {
    return call_boundary([&]() -> PyObject* {
               body();
               return Py_None;
           }) == nullptr
               ? -1
               : 0;
}

}  // namespace ornel::py
