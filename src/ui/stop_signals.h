// SIGINT and SIGTERM as a Qt signal, so that scripts can end the window program the way the
// close box does.
#pragma once

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace quillet::ui {

/// While it exists, SIGINT and SIGTERM no longer end the process; each is turned into
/// stopRequested() on the window thread (through a pipe that the signal handler writes to). One
/// at a time.
class StopSignalNotifier final : public QObject {
    Q_OBJECT

  public:
    explicit StopSignalNotifier(QObject* parent = nullptr);

    /// Gives the signals their default action back.
    ~StopSignalNotifier() override;

  signals:
    /// SIGINT or SIGTERM arrived.
    void stopRequested();

  private:
    void drain();

    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace quillet::ui
