#include "app/QtMainQueue.h"

#include <QTimer>

#include <cmath>

namespace tesselwick::app {

void QtMainQueue::post(std::function<void()> work) {
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

TimerHandle QtMainQueue::postAfter(Seconds delay, std::function<void()> work) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    // Rounded up: a timer never fires before the instant it was asked for.
    const auto milliseconds = static_cast<int>(std::ceil(std::max(delay.count(), 0.0) * 1000.0));
    // The timer must belong to this object's thread, whoever asks for it.
    post([this, milliseconds, cancelled, work = std::move(work)]() mutable {
        if (cancelled->load()) {
            return;
        }
        auto* timer = new QTimer(this);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [timer, cancelled, work = std::move(work)] {
            timer->deleteLater();
            if (!cancelled->load()) {
                work();
            }
        });
        timer->start(milliseconds);
    });
    return TimerHandle(cancelled);
}

} // namespace tesselwick::app
