#pragma once

#include "support/MainQueue.h"

#include <QObject>

namespace tesselwick::app {

// The manager's main queue on the Qt event loop. Work posted from any thread
// runs on the thread that owns this object (the GUI thread); delayed work uses
// precise timers so the manager's timing rules hold to the millisecond.
class QtMainQueue final : public QObject, public MainQueue {
    Q_OBJECT
public:
    explicit QtMainQueue(QObject* parent = nullptr) : QObject(parent) {}

    void post(std::function<void()> work) override;
    TimerHandle postAfter(Seconds delay, std::function<void()> work) override;
};

} // namespace tesselwick::app
