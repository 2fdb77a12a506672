#pragma once
// Turns SIGTERM and SIGINT into a Qt signal on the event loop, so the window shuts down in
// order (and wipes the keyspace working files) instead of dying mid-way.

#include <QObject>

class QSocketNotifier;

namespace zephra::app {

class ShutdownSignals final : public QObject {
    Q_OBJECT
public:
    explicit ShutdownSignals(QObject* parent = nullptr);
    ~ShutdownSignals() override;

signals:
    void requested();

private:
    QSocketNotifier* m_notifier = nullptr;
};

}  // namespace zephra::app
