// What every entry point shares at run time: the scoped release of the
// interpreter lock, once-only process-wide caches, and the boundary that turns
// C++ failures into Python exceptions.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "../../lib/failure.hpp"
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

// Adds a note to the exception currently set.
void add_note(const std::string& note);

// Raises PanicException (a direct subclass of BaseException) with `message`.
void raise_panic(const std::string& message);

// Creates PanicException and makes it importable as _ornel.errors.PanicException,
// so that a failure pickled in one process (a pool worker) unpickles in
// another to the same class: importing that name imports this module first.
void register_panic_exception();

// The message of a core failure (failure_message.cpp): the texts callers see,
// one per kind.
std::string failure_message(const CoreFailure& failure);

// Announces, during conversion, a core failure that an accepted argument is
// bound to cause later: should the call fail with a failure of kind `kind`,
// the exception gets `notes`. The first announcement of a call stands.
void expect_core_failure(Failure kind, std::vector<std::string> notes);

namespace detail {

struct ExpectedFailure {
    Failure kind;
    std::vector<std::string> notes;
};

// Each entry point call gets its own announcement: a call made from inside
// another (a sequence's __iter__ may call this module) neither sees nor
// clears the outer call's.
class ExpectedFailureScope {
public:
    ExpectedFailureScope() noexcept;
    ~ExpectedFailureScope();
    ExpectedFailureScope(const ExpectedFailureScope&) = delete;
    ExpectedFailureScope& operator=(const ExpectedFailureScope&) = delete;

private:
    std::optional<ExpectedFailure> outer_;
};

// raise_panic with the failure's message, plus the announced notes when its
// kind is the announced one.
void raise_core_failure(const CoreFailure& failure);

// ValueError with the failure's message: the input has no answer.
void raise_input_failure(const InputFailure& failure);

}  // namespace detail

// Runs an entry point's body: a result, or NULL with an exception set. An
// input without an answer is ValueError, any other core failure PanicException.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
    detail::ExpectedFailureScope expected_failure;
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const InputFailure& failure) {
        detail::raise_input_failure(failure);
    } catch (const CoreFailure& failure) {
        detail::raise_core_failure(failure);
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
