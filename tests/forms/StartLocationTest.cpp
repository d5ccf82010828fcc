#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTest>
#include <memory>

#include "FormsTestSupport.h"
#include "common/DocumentCheck.h"
#include "forms/StartArguments.h"
#include "forms/uFrmWarningInfo.h"
#include "support/platform/SystemHelpers.h"

using namespace kavrin;
using namespace kavrin::test;

namespace {

// The location fields as they stand: mode, text, and whether Browse can be used.
struct Fields {
    bool server;
    QString text;
    bool browse;
    bool operator==(const Fields&) const = default;
};

Fields fieldsOf(TMainFRM& window) {
    return {child<QRadioButton>(&window, "KavrinServerCHECKBOX")->isChecked(),
            child<QLineEdit>(&window, "DatabasePathEDT")->text(),
            child<QPushButton>(&window, "BrowseBUTTON")->isEnabled()};
}

}  // namespace

class StartLocationTest : public QObject {
    Q_OBJECT

private slots:
    void commandLines() {
        using A = StartArguments;
        struct Case {
            QStringList args;
            A::Action action;
            std::optional<bool> server;  // the location's mode, when one is given
            QString text;
        };
        const Case cases[] = {
            {{}, A::Run, {}, {}},
            {{"--folder", "/srv/inv"}, A::Run, false, "/srv/inv"},
            {{"--folder=/srv/my inv"}, A::Run, false, "/srv/my inv"},
            {{"--server", "INV01"}, A::Run, true, "INV01"},
            {{"-h"}, A::Help, {}, {}},
            {{"--folder", "/x", "--help"}, A::Help, {}, {}},
            {{"--version"}, A::Version, {}, {}},
            {{"-v"}, A::Version, {}, {}},
            {{"--folder"}, A::Error, {}, {}},
            {{"--folder", ""}, A::Error, {}, {}},
            {{"--server", "a", "--folder", "/b"}, A::Error, {}, {}},
            {{"--folder", "/a", "--folder", "/b"}, A::Error, {}, {}},
            {{"secret"}, A::Error, {}, {}},
            {{"--bogus=secret"}, A::Error, {}, {}},
            {{"--version=secret"}, A::Error, {}, {}},
        };
        for (const Case& c : cases) {
            const StartArguments start = parseStartArguments(QStringList{"kavrin-dbtool"} + c.args);
            const QString what = c.args.join(' ');
            QVERIFY2(start.action == c.action, qPrintable(what));
            QVERIFY2(start.location.has_value() == c.server.has_value(), qPrintable(what));
            if (c.server) {
                QCOMPARE(start.location->server, *c.server);
                QCOMPARE(start.location->text, c.text);
            }
            if (start.action == A::Error) {
                QVERIFY2(!start.message.isEmpty(), qPrintable(what));
                QVERIFY2(!start.message.contains("secret"), qPrintable(start.message));
            }
        }
    }

    // Every option the parser accepts is in the manual page, the completion and --help.
    void documentationNamesEveryOption() {
        std::vector<std::string> words;
        for (const QString& name : startOptionNames()) {
            words.push_back(name.toStdString());
            QVERIFY2(startArgumentsHelp().contains(name), qPrintable(name));
        }
        QVERIFY(words.size() >= 6);
        for (const char* file : {"man/kavrin-dbtool.1.scd", "completion/kavrin-dbtool"}) {
            const std::vector<std::string> missing =
                missingWords(std::string(KAVRIN_DIST_DIR "/") + file, words);
            QVERIFY2(missing.empty(), file);
        }
    }

    // The location shows at once; it is opened when the information dialog has been closed.
    void startLocationOpensAfterTheInformationDialog() {
        TempFolder folder;
        sampleDatabase().write(folder.path());
        const QString path = QString::fromStdString(folder.path());
        ScriptedPrompts prompts;
        TMainFRM window(prompts);
        window.setDialogs(nullptr, new TfrmWarningInfo(&window));
        window.openAtStart({false, path});
        QCOMPARE(fieldsOf(window), (Fields{false, path, true}));

        bool openWhileShown = true;
        onNextModal([&](QWidget* modal) {
            openWhileShown = window.engine().context().IsOpen;
            modal->close();
        });
        window.show();
        QTRY_VERIFY(window.engine().context().IsOpen);
        QVERIFY(!openWhileShown);
        QCOMPARE(window.engine().context().DatabaseFolder, folder.path());
        QCOMPARE(fieldsOf(window), (Fields{false, path, true}));
    }

    // In a file, and in the system's own store as the program keeps them (on Windows the
    // registry; elsewhere a file, here redirected to the test's folder).
    void remembersTheLastLocationOpened_data() {
        QTest::addColumn<bool>("native");
        QTest::newRow("settings file") << false;
        QTest::newRow("native settings") << true;
    }

    // The first start shows the designed defaults; later starts show the location opened last,
    // not one that failed to open, and open nothing by themselves.
    void remembersTheLastLocationOpened() {
        QFETCH(bool, native);
        TempFolder folder;
        const std::string db = folder.path();
        sampleDatabase().write(db);
        const QString settingsFile = QString::fromStdString(folder.file("kavrin-dbtool.conf"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(folder.path()));
        // An application name of this run's own, in a store that outlives the test.
        const QString application =
            QStringLiteral("kavrin-dbtool-test-%1").arg(QCoreApplication::applicationPid());
        const auto open = [&] {
            return native
                       ? std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                     QStringLiteral("kavrin"), application)
                       : std::make_unique<QSettings>(settingsFile, QSettings::IniFormat);
        };
        const Fields defaults{true, QString::fromStdString(LocalComputerName()), false};
        {
            const auto settings = open();
            WindowFixture f;
            f.window().rememberLocations(settings.get());
            QCOMPARE(fieldsOf(f.window()), defaults);
            f.openFolder(db);
            QVERIFY(f.engine().context().IsOpen);
            f.openFolder(folder.file("missing"));
            QVERIFY(!f.engine().context().IsOpen);
        }
        {
            const auto settings = open();
            WindowFixture f;
            QCOMPARE(fieldsOf(f.window()), defaults);  // nothing is read unless asked
            f.window().rememberLocations(settings.get());
            QCOMPARE(fieldsOf(f.window()), (Fields{false, QString::fromStdString(db), true}));
            QVERIFY(!f.engine().context().IsOpen);
            // Moving to server mode by hand still shows this computer's name.
            f.find<QRadioButton>("KavrinServerCHECKBOX")->click();
            QCOMPARE(fieldsOf(f.window()), defaults);
        }
        open()->clear();
    }
};

KAVRIN_FORMS_TEST_MAIN(StartLocationTest)
#include "StartLocationTest.moc"
