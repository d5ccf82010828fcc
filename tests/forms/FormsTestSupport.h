#pragma once

#include <QAction>
#include <QApplication>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/DatabaseBuilder.h"
#include "common/TempFolder.h"
#include "engine/MainView.h"
#include "forms/KavrinApplication.h"
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

// A main window, shown, whose prompts the test answers through MessageBox's seam.
class WindowFixture {
public:
    explicit WindowFixture(FileSystem& fs = localFileSystem(), Clock& clock = systemClock());
    ~WindowFixture();

    TMainFRM& window() { return *m_window; }
    MaintenanceEngine& engine() { return m_window->engine(); }
    const std::string& folder() const { return m_folder.path(); }

    // Folder mode, the path typed, "Open DB" clicked.
    void openFolder(const std::string& path);
    // Writes `db` into the fixture's folder and opens it.
    void openDatabase(const DatabaseBuilder& db);

    // Row indices of the node list by caption, in the list's current order.
    std::vector<std::string> captions() const;
    // Selects exactly the given rows.
    void selectRows(const std::vector<int>& rows);

    template <class T>
    T* find(const char* name) {
        return child<T>(m_window.get(), name);
    }

private:
    TempFolder m_folder;
    std::unique_ptr<TMainFRM> m_window;
};

}  // namespace kavrin::test
