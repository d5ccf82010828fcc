#include "forms/Prompts.h"

#include "forms/FolderBrowser.h"
#include "forms/MessageBox.h"
#include "forms/SaveFileChooser.h"

namespace kavrin {

namespace {

class DialogPrompts final : public Prompts {
public:
    Answer confirm(QWidget* parent, const QString& text, bool withCancel) override {
        return MessageBox::confirm(parent, text, withCancel);
    }
    void error(QWidget* parent, const QString& title, const QString& text) override {
        MessageBox::error(parent, title, text);
    }
    bool credentials(QWidget* parent, const QString& share, const QString& reason,
                     ShareCredentials& credentials) override {
        return MessageBox::credentials(parent, share, reason, credentials);
    }
    std::optional<QString> chooseFolder(QWidget* parent, const QString& start) override {
        return FolderBrowser::chooseFolder(parent, start);
    }
    std::optional<QString> chooseSaveFile(QWidget* parent, const QString& title,
                                          const QString& suggestedName,
                                          const QString& filter) override {
        return SaveFileChooser::choose(parent, title, suggestedName, filter);
    }
};

}  // namespace

Prompts& dialogPrompts() {
    static DialogPrompts prompts;
    return prompts;
}

}  // namespace kavrin
