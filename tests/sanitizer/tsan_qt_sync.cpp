// Linked into the test programs of a ThreadSanitizer build only.
//
// Qt 5 hands tasks and their results between threads under a futex-based
// mutex inside libQt5Core, which the distribution ships uninstrumented, so
// ThreadSanitizer sees none of that ordering and reports every sample a task
// reads and every result a waiter takes as a race. This file gives it the
// ordering back: the QFutureInterfaceBase calls that the inline templates of
// QtConcurrent and QFuture make from our own code are interposed here, tell
// ThreadSanitizer what they synchronise (on the shared future state), and go
// on to Qt's own implementation. Nothing else is hidden: a race in our code
// between two tasks, or between a task and a thread that has not waited for
// it, is still reported.

#include <QFutureInterfaceBase>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

extern "C" {
void __tsan_acquire(void *address);
void __tsan_release(void *address);
}

namespace {

// The shared state of a future, reached the standard way for a private
// member: an explicit instantiation may name it.
struct StateMember {
    using type = QFutureInterfaceBasePrivate *QFutureInterfaceBase::*;
    friend type member(StateMember);
};
template <typename Tag, typename Tag::type Member>
struct Expose {
    friend typename Tag::type member(Tag) { return Member; }
};
template struct Expose<StateMember, &QFutureInterfaceBase::d>;

void *stateOf(const QFutureInterfaceBase *future)
{
    return future->*member(StateMember());
}

template <typename Function>
Function next(const char *symbol)
{
    void *address = dlsym(RTLD_NEXT, symbol);
    if (!address) {
        std::fprintf(stderr, "tsan_qt_sync: %s not found in Qt\n", symbol);
        std::abort();
    }
    return reinterpret_cast<Function>(address);
}

using Call = void (*)(QFutureInterfaceBase *);
using ConstQuery = bool (*)(const QFutureInterfaceBase *);
using WaitForResult = void (*)(QFutureInterfaceBase *, int);

} // namespace

// Before a task is queued: what the starting thread wrote, the task object
// included, is published. A task reports its start on its own interface,
// and that same object is what the worker runs, so the object itself is
// the address that orders the two.
void QFutureInterfaceBase::reportStarted()
{
    static const Call real = next<Call>("_ZN20QFutureInterfaceBase13reportStartedEv");
    __tsan_release(this);
    __tsan_release(stateOf(this));
    real(this);
}

// The first thing a task does: it sees what was published at its start.
bool QFutureInterfaceBase::isCanceled() const
{
    static const ConstQuery real = next<ConstQuery>("_ZNK20QFutureInterfaceBase10isCanceledEv");
    __tsan_acquire(const_cast<QFutureInterfaceBase *>(this));
    const bool canceled = real(this);
    __tsan_acquire(stateOf(this));
    return canceled;
}

// A result handed over: a waiter for that result may go on before the task
// has finished, so what the task wrote before it is published here too.
void QFutureInterfaceBase::reportResultsReady(int beginIndex, int endIndex)
{
    using Ready = void (*)(QFutureInterfaceBase *, int, int);
    static const Ready real = next<Ready>("_ZN20QFutureInterfaceBase18reportResultsReadyEii");
    __tsan_release(stateOf(this));
    real(this, beginIndex, endIndex);
}

// The last thing a task does: its writes and result are published.
void QFutureInterfaceBase::reportFinished()
{
    static const Call real = next<Call>("_ZN20QFutureInterfaceBase14reportFinishedEv");
    __tsan_release(stateOf(this));
    real(this);
}

// A waiter sees everything the task published.
void QFutureInterfaceBase::waitForFinished()
{
    static const Call real = next<Call>("_ZN20QFutureInterfaceBase15waitForFinishedEv");
    real(this);
    __tsan_acquire(stateOf(this));
}

void QFutureInterfaceBase::waitForResult(int resultIndex)
{
    static const WaitForResult real = next<WaitForResult>("_ZN20QFutureInterfaceBase13waitForResultEi");
    real(this, resultIndex);
    __tsan_acquire(stateOf(this));
}

// The reference count of the shared state is an acquire-release operation:
// whoever drops the last reference and frees the results has seen every use.
bool QFutureInterfaceBase::derefT() const
{
    static const ConstQuery real = next<ConstQuery>("_ZNK20QFutureInterfaceBase6derefTEv");
    __tsan_release(stateOf(this));
    const bool alive = real(this);
    __tsan_acquire(stateOf(this));
    return alive;
}

QFutureInterfaceBase::~QFutureInterfaceBase()
{
    static const Call real = next<Call>("_ZN20QFutureInterfaceBaseD2Ev");
    void *state = stateOf(this);
    __tsan_release(state);
    __tsan_acquire(state);
    real(this);
}
