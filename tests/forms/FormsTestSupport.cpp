#include "FormsTestSupport.h"

#include <QAbstractItemView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "forms/NodeListModel.h"
#include "forms/uFrmCredentials.h"

namespace kavrin::test {

void prepareFormsTests() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

bool triggerAction(QWidget* root, const char* name) {
    QAction* action = child<QAction>(root, name);
    if (action == nullptr || !action->isEnabled() || !action->isVisible()) {
        return false;
    }
    // A disabled menu takes its items with it.
    for (QObject* owner : action->associatedObjects()) {
        if (auto* menu = qobject_cast<QMenu*>(owner);
            menu != nullptr && (!menu->isEnabled() || !menu->menuAction()->isEnabled())) {
            return false;
        }
    }
    action->trigger();
    return true;
}

std::vector<std::string> lines(const TMainFRM& view, LineList list) {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < view.lineCount(list); ++i) {
        result.push_back(view.lineAt(list, i));
    }
    return result;
}

void onNextModal(std::function<void(QWidget*)> act) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act = std::move(act)] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            act(modal);
            // A check that failed inside `act` returned before it ended the dialog: end it, so
            // that the test reports the failure instead of waiting in exec() until it is killed.
            if (QTest::currentTestFailed() && QApplication::activeModalWidget() == modal) {
                modal->close();
            }
        }
    });
    timer->start();
}

const char* const kSampleNames[8] = {"PC1",     "SRV-A", "pc1",   "LAPTOP7",
                                     "DESK&CO", "ZETA",  "ALPHA", "PC8"};

DatabaseBuilder sampleDatabase() {
    DatabaseBuilder db;
    for (int i = 0; i < 8; ++i) {
        const std::uint8_t inactive = i == 7 ? 1 : 0;
        const std::uint32_t offset = db.addNode(kSampleNames[i], inactive, 45000.0 + i);
        db.addInstall(offset, 0);
    }
    db.addTitle(7);
    return db;
}

bool ScriptedPrompts::credentials(QWidget* /*parent*/, const QString& share, const QString& reason,
                                  ShareCredentials& credentials) {
    shown.push_back({Kind::Credentials, QStringLiteral("Connect to Server"),
                     TfrmCredentials::messageFor(share, reason), true});
    const std::optional<ShareCredentials> answer = next(credentialAnswers);
    credentials = answer.value_or(credentials);
    return answer.has_value();
}

WindowFixture::WindowFixture(FileSystem& fs, Clock& clock)
    : m_window(std::make_unique<TMainFRM>(m_prompts, fs, clock)) {
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void WindowFixture::openFolder(const std::string& path) {
    find<QRadioButton>("DBFileCHECKBOX")->click();
    find<QLineEdit>("DatabasePathEDT")->setText(QString::fromStdString(path));
    find<QPushButton>("ConnectBTN")->click();
}

void WindowFixture::openDatabase(const DatabaseBuilder& db) {
    db.write(folder());
    openFolder(folder());
}

void WindowFixture::openSample(Answer offer) {
    m_prompts.answers.push_back(offer);
    openDatabase(sampleDatabase());
    m_prompts.shown.clear();
}

std::vector<std::string> WindowFixture::captions() const {
    std::vector<std::string> result;
    const NodeListModel* model = m_window->nodeListModel();
    for (int row = 0; row < model->rowCount(); ++row) {
        result.push_back(model->index(row, 0).data().toString().toStdString());
    }
    return result;
}

int WindowFixture::rowOf(const std::string& caption) const {
    const std::vector<std::string> rows = captions();
    const auto found = std::find(rows.begin(), rows.end(), caption);
    return found == rows.end() ? -1 : static_cast<int>(found - rows.begin());
}

void WindowFixture::selectRows(const std::vector<int>& rows) {
    auto* view = child<QAbstractItemView>(m_window.get(), "NodesLV");
    view->selectionModel()->clearSelection();
    for (int row : rows) {
        view->selectionModel()->select(view->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

}  // namespace kavrin::test
