// The window in server mode against the test server (scripts/smbserver.sh): the credentials
// dialog when the share refuses, answered through the prompts seam. Skips without the server.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <chrono>

#include "FormsTestSupport.h"
#include "common/ShareFolder.h"
#include "common/ShareProxy.h"
#include "forms/uFrmCredentials.h"

using namespace kavrin;
using namespace kavrin::test;

class ServerModeWindowTest : public QObject {
    Q_OBJECT

private slots:
    // What is typed comes back; the password is never shown and never kept in the dialog.
    void credentialsDialogTakesWhatIsTyped() {
        TfrmCredentials dialog;
        ShareCredentials credentials{"admin", "old", "CORP", false};
        onNextModal([](QWidget* modal) {
            auto* password = child<QLineEdit>(modal, "PasswordEDT");
            QCOMPARE(password->echoMode(), QLineEdit::Password);
            QCOMPARE(password->text(), QString());
            QCOMPARE(child<QLineEdit>(modal, "UserEDT")->text(), QString("admin"));
            QVERIFY(child<QLabel>(modal, "MessageLAB")->text().startsWith("\\\\SRV\\Kavrin$ "));
            password->setText("s3cret");
            child<QLineEdit>(modal, "DomainEDT")->setText("OTHER");
            child<QPushButton>(modal, "OKBTN")->click();
        });
        QVERIFY(dialog.ask("\\\\SRV\\Kavrin$", "Permission denied", credentials));
        QCOMPARE(credentials, (ShareCredentials{"admin", "s3cret", "OTHER", false}));
        QCOMPARE(child<QLineEdit>(&dialog, "PasswordEDT")->text(), QString());

        onNextModal([](QWidget* modal) { child<QPushButton>(modal, "CancelBTN")->click(); });
        QVERIFY(!dialog.ask("\\\\SRV\\Kavrin$", "Permission denied", credentials));
    }

    // Refused: the dialog asks once per command. Cancel ends the open with the message of a
    // missing database; the user and password given then open it, and are kept for the server.
    void refusedShareAsksForCredentials() {
        if (!testShare()) {
            QSKIP("no test server");
        }
        ShareFolder root(true);
        const DatabaseBuilder db = sampleDatabase();
        db.write(localFileSystem(), root.path());
        WindowFixture f;
        ShareSettings wrong = shareSettings();  // the window's prompt, with a refused password
        wrong.credentials = {testCredentials().user, "Wr0ngPass", "", false};
        setShareSettings(wrong);
        f.find<QLineEdit>("DatabasePathEDT")->setText(QString::fromStdString(testServer()));
        const QString share = QString::fromStdString(*testShare());

        f.prompts().credentialAnswers.push_back(std::nullopt);
        f.find<QPushButton>("ConnectBTN")->click();
        std::vector<ScriptedPrompts::Shown> shown = f.prompts().takeShown();
        QCOMPARE(shown.size(), std::size_t{2});  // once for the journal and the three files
        QCOMPARE(shown[0].kind, ScriptedPrompts::Kind::Credentials);
        QCOMPARE(shown[0].text, TfrmCredentials::messageFor(share, "Permission denied"));
        QCOMPARE(shown[1].kind, ScriptedPrompts::Kind::Error);
        // Why, as the share told it: asking it again asked for no credentials.
        QCOMPARE(shown[1].text, "Error: \"The database does not exist.\"\r\n\r\n" + share +
                                    "\\kavrin.cmp\r\n\r\nThe share " + share +
                                    " could not be read : Permission denied");
        QCOMPARE(f.find<QLabel>("StatusPanel1")->text(), QString("Not Connected"));

        f.prompts().credentialAnswers.push_back(testCredentials());
        f.prompts().answers.push_back(Answer::No);  // to the offer to fix the duplicates
        f.find<QPushButton>("ConnectBTN")->click();
        shown = f.prompts().takeShown();
        QCOMPARE(shown.size(), std::size_t{2});
        QCOMPARE(shown[0].kind, ScriptedPrompts::Kind::Credentials);
        QCOMPARE(f.find<QLabel>("StatusPanel1")->text(), "Connected : " + share);
        QCOMPARE(f.captions().size(), std::size_t{8});

        f.prompts().answers.push_back(Answer::No);
        f.find<QPushButton>("ConnectBTN")->click();
        shown = f.prompts().takeShown();
        QCOMPARE(shown.size(), std::size_t{1});
        QCOMPARE(shown[0].kind, ScriptedPrompts::Kind::Confirm);
        QCOMPARE(f.find<QLabel>("StatusPanel1")->text(), "Connected : " + share);
    }

    // A server that takes its time while a short command (a backup, which neither pumps nor goes
    // busy of its own) waits for it: the window stays painted and takes no command meanwhile,
    // shows the wait in its progress area after a second, and is as it was when the answer came.
    void aSlowServerIsWaitedForWithTheWindowBusy() {
        if (!testShare()) {
            QSKIP("no test server");
        }
        ShareSettings settings = shareSettings();  // the window's, with the test user
        settings.credentials = testCredentials();
        setShareSettings(settings);
        ShareFolder folder;
        sampleDatabase().write(localFileSystem(), folder.path());
        ShareProxy proxy(testServer());
        const std::string relayed =
            "\\\\" + proxy.server() + folder.path().substr(2 + testServer().size());
        WindowFixture f;
        f.prompts().answers.push_back(Answer::No);  // to the offer to fix the duplicates
        f.openFolder(relayed);
        QCOMPARE(f.find<QLabel>("StatusPanel1")->text(),
                 QString::fromStdString("Connected : " + relayed));
        f.prompts().takeShown();

        proxy.delayReplies(std::chrono::seconds(2));
        proxy.dropConnections();
        auto* action = f.find<QLabel>("ActionLAB");
        auto* panel = f.find<QWidget>("Panel1");
        auto* progress = f.find<QWidget>("Panel2");
        const QString caption = action->text();
        QStringList shown;
        bool idle = false;  // a command could have started meanwhile
        QTimer look;
        look.setInterval(50);
        QObject::connect(&look, &QTimer::timeout, [&] {
            idle = idle || panel->isEnabled();
            if (progress->isVisible() && (shown.isEmpty() || shown.back() != action->text())) {
                shown << action->text();
            }
        });
        look.start();
        QVERIFY(triggerAction(&f.window(), "BackupMEN"));
        look.stop();
        QCOMPARE(shown, QStringList{QString::fromStdString("Waiting for the server " +
                                                           proxy.server() + " to answer")});
        QVERIFY(!idle);
        QVERIFY(panel->isEnabled());
        QVERIFY(!progress->isVisible());
        QCOMPARE(action->text(), caption);
        QVERIFY(f.prompts().takeShown().empty());
    }
};

KAVRIN_FORMS_TEST_MAIN(ServerModeWindowTest)
#include "ServerModeWindowTest.moc"
