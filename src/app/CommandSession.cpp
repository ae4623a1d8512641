#include "app/CommandSession.h"

#include "support/Clock.h"

#include <pthread.h>

namespace tesselwick::app {

namespace {
constexpr Seconds kDeliveryLimit{5.0};
constexpr Seconds kWorkerLimit{30.0};
} // namespace

InterruptWatcher::InterruptWatcher(BlockingMainQueue& queue) : queue_(queue) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    // Every thread started from here on inherits the mask, so only the watcher
    // receives these; the command runner gives children the default mask back.
    pthread_sigmask(SIG_BLOCK, &signals, &previous_);
    thread_ = std::thread([this, signals] {
        int signal = 0;
        while (sigwait(&signals, &signal) == 0) {
            if (signal == SIGUSR1) {
                return;
            }
            interrupted_ = true;
            queue_.wake();
        }
    });
}

InterruptWatcher::~InterruptWatcher() {
    // SIGUSR1 aimed at the watcher alone ends its wait.
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

CommandSession::CommandSession()
    : interrupts_(queue_), composition_(queue_, systemClock()),
      manager_(composition_.makeDiskManager()) {}

CommandSession::~CommandSession() {
    manager::DiskManager::releaseAndWait(manager_, kWorkerLimit);
    composition_.waitUntilDelivered(kDeliveryLimit);
}

bool CommandSession::serve(const std::function<bool()>& done, Seconds limit) {
    queue_.runUntil([&] { return interrupted() || done(); }, limit);
    return !interrupted() && done();
}

void CommandSession::deliver() {
    queue_.runPending();
    composition_.waitUntilDelivered(kDeliveryLimit);
    queue_.runPending();
}

} // namespace tesselwick::app
