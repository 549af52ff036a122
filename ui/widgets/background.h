// The one way the desktop program runs work off its window's thread: the
// work on a pool's thread, then its result handed to a function on the
// window's thread, as long as the window that asked for it still exists.
#pragma once

#include <type_traits>
#include <utility>

#include <QFuture>
#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace vistereo {

// Runs `work()` on `pool` (null: the application's shared pool) and then
// `done(result)` (`done()` for work that returns nothing) on `owner`'s
// thread. When `owner` is destroyed first, `done` is not called; the work
// still runs to its end, so it must own (or share) everything it uses.
// The returned future tells whether the work has ended and can be waited on.
template <class Work, class Done>
auto runInBackground(QObject* owner, QThreadPool* pool, Work work, Done done) {
    using Result = std::invoke_result_t<Work&>;
    auto* watcher = new QFutureWatcher<Result>(owner);  // goes with the owner, and with it the call of `done`
    QObject::connect(watcher, &QFutureWatcherBase::finished, owner, [watcher, done = std::move(done)]() mutable {
        watcher->deleteLater();
        if constexpr (std::is_void_v<Result>)
            done();
        else
            done(watcher->result());
    });
    QFuture<Result> future = QtConcurrent::run(pool ? pool : QThreadPool::globalInstance(), std::move(work));
    watcher->setFuture(future);
    return future;
}

}  // namespace vistereo
