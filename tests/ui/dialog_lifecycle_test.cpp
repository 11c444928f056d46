// The main dialog's life with a real engine: serving a transfer, a server that cannot start,
// and every way of ending the dialog, including while transfers run and when the engine thread
// does not end in time.

#include <QApplication>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "ui/main_dialog.h"
#include "ui/transfer_list_ctrl.h"
#include "ui/transfer_texts.h"
#include "ui_test_support.h"

using namespace quillet;
using namespace quillet::ui;
using namespace quillet::ui::test;
using namespace std::chrono_literals;

namespace {

/// Writes a file of size bytes into the working directory, where the engine serves from.
std::vector<std::uint8_t> writeServedFile(const QString& name, int size) {
    std::vector<std::uint8_t> content(static_cast<std::size_t>(size));
    for (std::size_t at = 0; at < content.size(); ++at) {
        content[at] = static_cast<std::uint8_t>(at * 7 + at / 251);
    }
    QFile file(name);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(reinterpret_cast<const char*>(content.data()),
                   static_cast<qint64>(content.size()));
    }
    return content;
}

/// A UDP port held on all addresses for the test's life, so that the engine cannot bind it.
class HeldPort {
  public:
    HeldPort() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any);
        socklen_t length = sizeof any;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&any), &length);
        port_ = ntohs(any.sin_port);
    }
    ~HeldPort() { ::close(fd_); }
    std::uint16_t port() const { return port_; }

  private:
    int fd_;
    std::uint16_t port_ = 0;
};

enum class Ending { CloseBox, Escape, Accept, Reject, Done };

}  // namespace

Q_DECLARE_METATYPE(Ending)

class DialogLifecycleTest : public QObject {
    Q_OBJECT

  private slots:
    void realTransferBecomesADoneRow() {
        const auto content = writeServedFile("served.bin", 25 * 512 - 100);
        MainDialog dialog(0);
        QVERIFY(showAndWaitUntilReady(dialog));
        RawTftpClient client(dialog.boundPort());
        const auto fetched = client.fetch("served.bin");
        QVERIFY(fetched.has_value());
        QVERIFY(*fetched == content);

        TransferListCtrl& list = dialog.transferList();
        QTRY_COMPARE(list.topLevelItemCount(), 1);
        QTRY_COMPARE(list.topLevelItem(0)->text(kProgressColumn), "Done");
        QCOMPARE(list.topLevelItem(0)->text(kClientColumn),
                 QString::fromStdString(endpointText(client.localEndpoint())));
        QCOMPARE(list.topLevelItem(0)->text(kFileNameColumn), "served.bin");
        QCOMPARE(list.topLevelItem(0)->text(kFileSizeColumn), "12.40kB");
        // The window takes levels up to 5: the transfer's own lines (level 6) stay in the file.
        QVERIFY(!logListContains(dialog, "Connected."));
        QFile log("Quillet.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("served.bin, Served with 25 blocks."));
        dialog.close();
        QVERIFY(!dialog.engineFailedToStart());
    }

    void serverErrorShowsTheTextAndEndsWithCode3() {
        HeldPort held;
        MainDialog dialog(held.port());
        QString text, title;
        QMessageBox::Icon icon = QMessageBox::Critical;
        int buttons = 0;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            poll.stop();
            text = box->text();
            title = box->windowTitle();
            icon = box->icon();
            buttons = static_cast<int>(box->buttons().size());
            box->button(QMessageBox::Ok)->click();
        });
        poll.start(20);
        QTimer::singleShot(10000, &dialog, [&] { dialog.done(-1); });  // a bound on failure

        QCOMPARE(dialog.exec(), MainDialog::kServerErrorResult);
        const QString expected = QString::asprintf(
            "Bind failed, Maybe Port %d already in use: 0x%08X", int{held.port()}, EADDRINUSE);
        QCOMPARE(text, expected);
        QCOMPARE(title, QCoreApplication::applicationName());
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(buttons, 1);
        QVERIFY(logListContains(dialog, expected));  // the level-3 line came first
        QVERIFY(!dialog.isRunning());
        QVERIFY(!dialog.engineAbandoned());
        QVERIFY(dialog.engineFailedToStart());
    }

    void aStopBeforeTheErrorBoxStillTellsThatTheEngineCouldNotStart() {
        HeldPort held;
        MainDialog dialog(held.port());
        dialog.show();
        // No events are handled meanwhile, so the error waits in the queue.
        for (int i = 0; i < 500 && !dialog.engineFailedToStart(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        QVERIFY(dialog.engineFailedToStart());
        dialog.close();
        deliverPosted();
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        QCOMPARE(dialog.result(), int{QDialog::Rejected});
        QVERIFY(dialog.engineFailedToStart());
    }

    void everyWayOfEndingRunsTheCloseSteps_data() {
        QTest::addColumn<Ending>("ending");
        QTest::addColumn<int>("result");
        QTest::newRow("close box") << Ending::CloseBox << int{QDialog::Rejected};
        QTest::newRow("Escape") << Ending::Escape << int{QDialog::Rejected};
        QTest::newRow("accept") << Ending::Accept << int{QDialog::Accepted};
        QTest::newRow("reject") << Ending::Reject << int{QDialog::Rejected};
        QTest::newRow("done") << Ending::Done << 7;
    }
    void everyWayOfEndingRunsTheCloseSteps() {
        QFETCH(Ending, ending);
        QFETCH(int, result);
        MainDialog dialog(0);
        QTimer::singleShot(0, &dialog, [&] {
            QVERIFY(QTest::qWaitFor([&] { return logListContains(dialog, "Ready"); }, 5000));
            postStarted(dialog, endpoint(0x7F000001, 5), "running", 5000);
            QTRY_COMPARE(dialog.transferList().topLevelItemCount(), 1);
            switch (ending) {
                case Ending::CloseBox:
                    dialog.close();
                    break;
                case Ending::Escape:
                    QTest::keyClick(&dialog, Qt::Key_Escape);
                    break;
                case Ending::Accept:
                    dialog.accept();
                    break;
                case Ending::Reject:
                    dialog.reject();
                    break;
                case Ending::Done:
                    dialog.done(7);
                    break;
            }
        });
        QTimer::singleShot(10000, &dialog, [&] { dialog.done(-1); });  // a bound on failure
        QCOMPARE(dialog.exec(), result);
        QVERIFY(!dialog.isRunning());
        QVERIFY(!dialog.engineAbandoned());
        QCOMPARE(dialog.boundPort(), 0);  // the engine has closed its socket
        QCOMPARE(dialog.transferList().topLevelItemCount(), 0);
    }

    void enterDoesNotEndTheDialog() {
        MainDialog dialog(0);
        QVERIFY(showAndWaitUntilReady(dialog));
        QTest::keyClick(&dialog.transferList(), Qt::Key_Return);
        QTest::keyClick(&dialog, Qt::Key_Enter);
        deliverPosted();
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.isRunning());
    }

    void closingWhileATransferRunsStopsTheEngine() {
        writeServedFile("long.bin", 100 * 512);
        MainDialog dialog(0);
        QVERIFY(showAndWaitUntilReady(dialog));
        RawTftpClient client(dialog.boundPort());
        QVERIFY(client.sendReadRequest("long.bin"));
        QVERIFY(client.receive().has_value());
        client.sendAck(1);
        QVERIFY(client.receive().has_value());  // block 2: the transfer runs
        QTRY_COMPARE(dialog.transferList().topLevelItemCount(), 1);
        QCOMPARE(dialog.transferList().topLevelItem(0)->text(kProgressColumn), "0");

        const auto started = std::chrono::steady_clock::now();
        dialog.close();
        QVERIFY(std::chrono::steady_clock::now() - started < 5s);
        QVERIFY(!dialog.isRunning());
        QVERIFY(!dialog.engineAbandoned());
        QCOMPARE(dialog.result(), int{QDialog::Rejected});
        QCOMPARE(dialog.transferList().topLevelItemCount(), 0);
        // Nobody answers the client any more.
        client.sendAck(2);
        QVERIFY(!client.receive(300).has_value());
    }

    void eventsAfterTheCloseStepsTouchNoRows() {
        MainDialog dialog(0);
        QVERIFY(showAndWaitUntilReady(dialog));
        const ClientEndpoint alice = endpoint(0x7F000001, 5);
        postStarted(dialog, alice, "a", 5000);
        deliverPosted();
        // Queued before the close, delivered after it: the rows they refer to are gone.
        QVERIFY(post(dialog, TransferProgressMessage{alice, 5}));
        QVERIFY(post(dialog, TransferDoneMessage{alice}));
        QVERIFY(post(dialog, TransferStartedMessage{alice, record(alice, "late", 1)}));
        QVERIFY(post(dialog, ServerErrorMessage{"late error"}));
        dialog.close();
        // Should a late error box open after all, it is closed again so that the test fails
        // rather than waits.
        bool lateBox = false;
        QTimer::singleShot(500, &dialog, [&] {
            if (auto* box = QApplication::activeModalWidget()) {
                lateBox = true;
                box->close();
            }
        });
        deliverPosted();
        QTest::qWait(600);
        QVERIFY(!lateBox);
        QCOMPARE(dialog.transferList().topLevelItemCount(), 0);
        // After the close the window is detached: posts are refused on the posting thread.
        QVERIFY(!post(dialog, TransferDoneMessage{alice}));
        QVERIFY(!post(dialog, LogLineMessage{"late line"}));
    }

    void anEngineThatDoesNotStopInTimeIsLetGoWithItsPartsAlive() {
        std::promise<void> releaseEngine;
        std::shared_future<void> released = releaseEngine.get_future().share();
        std::atomic<int> latePostsAccepted{-1};
        std::weak_ptr<const EngineParts> parts;
        {
            MainDialog dialog(0);
            dialog.setStopWaitLimit(100ms);
            dialog.setEngineBody([released, &latePostsAccepted](EngineParts& engine) {
                engine.server.run();
                // Stopped, but slow to end: goes on using the log and the sink afterwards.
                released.wait_for(10s);
                int accepted = 0;
                engine.log.write(3, "a line from an engine that was let go");
                accepted += engine.eventSink.transferDone(ClientEndpoint{}) ? 1 : 0;
                accepted += engine.eventSink.serverError("late") ? 1 : 0;
                latePostsAccepted = accepted;
            });
            QVERIFY(showAndWaitUntilReady(dialog));
            parts = dialog.engineParts();
            const auto started = std::chrono::steady_clock::now();
            dialog.close();
            QVERIFY(std::chrono::steady_clock::now() - started < 5s);
            QVERIFY(dialog.engineAbandoned());
            QVERIFY(!parts.expired());
        }
        // The dialog is gone; the engine's parts are not, until the engine ends.
        QVERIFY(!parts.expired());
        releaseEngine.set_value();
        QVERIFY(QTest::qWaitFor([&] { return parts.expired(); }, 5000));
        QCOMPARE(latePostsAccepted.load(), 0);
        deliverPosted();
    }
};

QTEST_MAIN(DialogLifecycleTest)
#include "dialog_lifecycle_test.moc"
