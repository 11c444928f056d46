#include "ui/stop_signals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace quillet::ui {

namespace {

// The pipe's two ends; a signal handler can reach nothing but plain data.
int signalPipe[2] = {-1, -1};

extern "C" void writeToSignalPipe(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a request: losing this byte loses nothing.
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

void setHandler(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the window thread's own calls go on undisturbed
    sigaction(signal, &action, nullptr);
}

void closePipe() {
    for (int& end : signalPipe) {
        if (end >= 0) {
            ::close(end);
            end = -1;
        }
    }
}

}  // namespace

StopSignalNotifier::StopSignalNotifier(QObject* parent) : QObject(parent) {
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &StopSignalNotifier::drain);
    setHandler(SIGINT, writeToSignalPipe);
    setHandler(SIGTERM, writeToSignalPipe);
}

StopSignalNotifier::~StopSignalNotifier() {
    if (notifier_ == nullptr) {
        return;
    }
    setHandler(SIGINT, SIG_DFL);
    setHandler(SIGTERM, SIG_DFL);
    notifier_.reset();
    closePipe();
}

void StopSignalNotifier::drain() {
    char bytes[16];
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    emit stopRequested();
}

}  // namespace quillet::ui
