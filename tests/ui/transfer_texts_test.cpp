// The texts of a transfer row, the progress percentage and the sort order of records.

#include <QTest>
#include <clocale>
#include <cstdlib>
#include <ctime>

#include "ui/transfer_texts.h"
#include "ui_test_support.h"

using namespace quillet;
using namespace quillet::ui;

class TransferTextsTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        // Local time is UTC here, so that start times read the same on every machine.
        qputenv("TZ", "UTC");
        tzset();
    }

    void sizeTextSwitchesUnitsAtTheirBoundaries_data() {
        QTest::addColumn<int>("fileSize");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << 0 << "0B";
        QTest::newRow("1023") << 1023 << "1023B";
        QTest::newRow("1024") << 1024 << "1.00kB";
        QTest::newRow("1536") << 1536 << "1.50kB";
        QTest::newRow("1048575") << 1048575 << "1024.00kB";
        QTest::newRow("1048576") << 1048576 << "1.00MB";
        QTest::newRow("largest served") << 33553920 << "32.00MB";
        QTest::newRow("rounds to two places") << 1535 << "1.50kB";
    }
    void sizeTextSwitchesUnitsAtTheirBoundaries() {
        QFETCH(int, fileSize);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(sizeText(fileSize)), expected);
    }

    void elapsedTextShowsMinutesAndSeconds_data() {
        QTest::addColumn<uint>("seconds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("start") << 0u << "0:00";
        QTest::newRow("59") << 59u << "0:59";
        QTest::newRow("60") << 60u << "1:00";
        QTest::newRow("3725 ticks") << 3725u << "62:05";
        QTest::newRow("no hours") << 36000u << "600:00";
        QTest::newRow("largest") << 4294967295u << "71582788:15";
    }
    void elapsedTextShowsMinutesAndSeconds() {
        QFETCH(uint, seconds);
        QFETCH(QString, expected);
        QCOMPARE(QString::fromStdString(elapsedText(seconds)), expected);
    }

    void startTimeTextIsInTheCLocaleWhateverTheProcessLocale() {
        const std::time_t march5 = 1772719629;  // 2026-03-05 14:07:09 UTC
        QCOMPARE(QString::fromStdString(startTimeText(march5)), "Mar-05 14:07:09");
        const std::time_t october31 = 1793404800 + 23 * 3600 + 59 * 60;  // 2026-10-31 23:59 UTC
        QCOMPARE(QString::fromStdString(startTimeText(october31)), "Oct-31 23:59:00");

        // QApplication takes the locale from the environment; the texts must not follow it.
        const std::string before = std::setlocale(LC_ALL, nullptr);
        if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
            QSKIP("the de_DE.UTF-8 locale is not installed");
        }
        const QString month = QString::fromStdString(startTimeText(october31));
        const QString size = QString::fromStdString(sizeText(1536));
        std::setlocale(LC_ALL, before.c_str());
        QCOMPARE(month, "Oct-31 23:59:00");
        QCOMPARE(size, "1.50kB");
    }

    void progressPercentCountsBlocksOfTheFile_data() {
        QTest::addColumn<int>("fileSize");
        QTest::addColumn<int>("blocksSent");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("25 blocks, 10 sent") << 12800 << 10 << qint64{40};
        QTest::newRow("25 blocks, all sent") << 12800 << 25 << qint64{100};
        QTest::newRow("truncated") << 1536 << 1 << qint64{33};
        QTest::newRow("multiple of 512 ends one over") << 1536 << 4 << qint64{133};
        QTest::newRow("one byte") << 1 << 1 << qint64{100};
        QTest::newRow("empty file shows full") << 0 << 0 << qint64{100};
        QTest::newRow("empty file, final count") << 0 << 1 << qint64{100};
        QTest::newRow("largest file, no overflow") << 33553920 << 65535 << qint64{100};
    }
    void progressPercentCountsBlocksOfTheFile() {
        QFETCH(int, fileSize);
        QFETCH(int, blocksSent);
        QFETCH(qint64, expected);
        QCOMPARE(progressPercent(fileSize, blocksSent), expected);
    }

    void compareRecordsFollowsEachColumnsRule() {
        struct Case {
            const char* name;
            int column;
            ClientEndpoint endpointA;
            std::string fileA;
            std::int32_t sizeA;
            std::time_t startA;
            ClientEndpoint endpointB;
            std::string fileB;
            std::int32_t sizeB;
            std::time_t startB;
            int expected;
        };
        const ClientEndpoint any;
        const Case cases[] = {
            // Endpoints in the session table's order: the fourth octet decides first, and the
            // port's low byte before its high byte (256 before 1).
            {"client: last octet first", 0, test::endpoint(0x09000001, 69), "", 0, 0,
             test::endpoint(0x01000002, 69), "", 0, 0, -1},
            {"client: port low byte first", 0, test::endpoint(0x01000001, 256), "", 0, 0,
             test::endpoint(0x01000001, 1), "", 0, 0, -1},
            {"client: equal", 0, test::endpoint(0x0A000001, 7), "a", 1, 1,
             test::endpoint(0x0A000001, 7), "b", 2, 2, 0},
            {"start time", 1, any, "", 0, 200, any, "", 0, 100, 1},
            {"file name: case-sensitive", 2, any, "B", 0, 0, any, "a", 0, 0, -1},
            {"file name: bytes are unsigned", 2, any, "\xE9t\xE9", 0, 0, any, "z", 0, 0, 1},
            {"file name: prefix first", 2, any, "boot", 0, 0, any, "boot.img", 0, 0, -1},
            {"file size", 3, any, "", 33553920, 0, any, "", 0, 0, 1},
            {"progress does not sort", 4, any, "a", 1, 1, test::endpoint(2, 2), "b", 2, 2, 0},
        };
        for (const Case& c : cases) {
            const auto a = test::record(c.endpointA, c.fileA, c.sizeA, c.startA);
            const auto b = test::record(c.endpointB, c.fileB, c.sizeB, c.startB);
            QVERIFY2(compareRecords(*a, *b, c.column) == c.expected, c.name);
            QVERIFY2(compareRecords(*b, *a, c.column) == -c.expected, c.name);
        }
    }
};

QTEST_GUILESS_MAIN(TransferTextsTest)
#include "transfer_texts_test.moc"
