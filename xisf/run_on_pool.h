#pragma once

#include <QFuture>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <cstddef>
#include <vector>

// Runs task(i) for every i below `count`: this thread the first, the global
// pool the others, waited for in order. A wait on a task that no worker has
// started yet runs it here, so a load already on the pool cannot deadlock.
// Futures rather than a blocking map: ThreadSanitizer sees their
// synchronisation (tests/sanitizer/tsan_qt_sync.cpp). The tasks must not
// throw.
template <typename Task>
void runOnPool(size_t count, const Task &task)
{
    std::vector<QFuture<void>> others;
    others.reserve(count);
    for (size_t i = 1; i < count; ++i)
        others.push_back(QtConcurrent::run(QThreadPool::globalInstance(), [&task, i] { task(i); }));
    if (count > 0)
        task(0);
    for (QFuture<void> &other : others)
        other.waitForFinished();
}
