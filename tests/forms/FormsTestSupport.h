#pragma once

#include <QAction>
#include <QApplication>
#include <QString>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/DatabaseBuilder.h"
#include "common/TempFolder.h"
#include "engine/MainView.h"
#include "forms/KavrinApplication.h"
#include "forms/Prompts.h"
#include "forms/uFrmMain.h"

namespace kavrin::test {

// Prepares the application for window tests: the offscreen platform unless another is asked
// for, and the window surviving its own close.
void prepareFormsTests();

// main() of a window test: the tool's own application object, so that exceptions reaching the
// event loop take the same road as in the program.
#define KAVRIN_FORMS_TEST_MAIN(TestClass)               \
    int main(int argc, char** argv) {                   \
        kavrin::test::prepareFormsTests();              \
        kavrin::KavrinApplication app(argc, argv);      \
        QApplication::setQuitOnLastWindowClosed(false); \
        TestClass test;                                 \
        return QTest::qExec(&test, argc, argv);         \
    }

// The child of `root` named `name`, of type T; null when there is none.
template <class T>
T* child(QObject* root, const char* name) {
    return root->findChild<T*>(QString::fromLatin1(name));
}

// Triggers the action named `name` as a user would: false when it is missing, disabled or
// hidden.
bool triggerAction(QWidget* root, const char* name);

// Every line of a line list.
std::vector<std::string> lines(const TMainFRM& view, LineList list);

// Once a modal widget shows, runs `act` on it (from inside its event loop).
void onNextModal(std::function<void(QWidget*)> act);

// A database of eight nodes in a folder of its own: PC1 and pc1 are duplicates, PC8 is inactive.
// Row i of the file is named by kSampleNames[i].
extern const char* const kSampleNames[8];
DatabaseBuilder sampleDatabase();

// Answers without a box: each question takes the next answer queued for it, Cancel (nothing
// chosen) when there is none. Confirmations, errors and credentials dialogs are recorded.
class ScriptedPrompts : public Prompts {
public:
    enum class Kind { Confirm, Error, Credentials };
    struct Shown {
        Kind kind;
        QString title, text;
        bool withCancel;
    };
    std::deque<Answer> answers;
    std::deque<std::optional<ShareCredentials>> credentialAnswers;
    std::deque<std::optional<QString>> folders, savePaths;
    QString lastFolderStart;
    std::vector<Shown> shown;
    // Runs as each error box shows, to look at the window while it is up.
    std::function<void()> whileErrorShown;

    // The boxes recorded since the last call, in order.
    std::vector<Shown> takeShown() { return std::exchange(shown, {}); }

    Answer confirm(QWidget*, const QString& text, bool withCancel) override {
        shown.push_back({Kind::Confirm, "Confirm", text, withCancel});
        return next(answers, Answer::Cancel);
    }
    void error(QWidget*, const QString& title, const QString& text) override {
        shown.push_back({Kind::Error, title, text, false});
        if (whileErrorShown) {
            whileErrorShown();
        }
    }
    bool credentials(QWidget*, const QString& share, const QString& reason,
                     ShareCredentials& credentials) override;
    std::optional<QString> chooseFolder(QWidget*, const QString& start) override {
        lastFolderStart = start;
        return next(folders);
    }
    std::optional<QString> chooseSaveFile(QWidget*, const QString&, const QString&,
                                          const QString&) override {
        return next(savePaths);
    }

private:
    template <class T>
    static T next(std::deque<T>& queue, T none = {}) {
        if (!queue.empty()) {
            none = queue.front();
            queue.pop_front();
        }
        return none;
    }
};

// A main window, shown, whose prompts the test answers.
class WindowFixture {
public:
    explicit WindowFixture(FileSystem& fs = localFileSystem(), Clock& clock = systemClock());

    TMainFRM& window() { return *m_window; }
    ScriptedPrompts& prompts() { return m_prompts; }
    MaintenanceEngine& engine() { return m_window->engine(); }
    const std::string& folder() const { return m_folder.path(); }

    // Folder mode, the path typed, "Open DB" clicked.
    void openFolder(const std::string& path);
    // Writes `db` into the fixture's folder and opens it.
    void openDatabase(const DatabaseBuilder& db);
    // Opens sampleDatabase() answering `offer` to the offer to fix its duplicates; no box kept.
    void openSample(Answer offer = Answer::No);

    // Row indices of the node list by caption, in the list's current order.
    std::vector<std::string> captions() const;
    // The row captioned `caption` in the list's current order; -1 when there is none.
    int rowOf(const std::string& caption) const;
    // Selects exactly the given rows.
    void selectRows(const std::vector<int>& rows);

    template <class T>
    T* find(const char* name) {
        return child<T>(m_window.get(), name);
    }

private:
    TempFolder m_folder;
    ScriptedPrompts m_prompts;
    std::unique_ptr<TMainFRM> m_window;
};

}  // namespace kavrin::test
