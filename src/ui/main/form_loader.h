#pragma once
// Forms describe their controls in a JSON document compiled into the program: the window's caption
// and client size, then each control with its kind, name, place and size (pixels), and for the
// program's buttons their saved instance data, which the button loads itself. Kinds: "zqButtons_H",
// "Frame" (a captioned group holding further controls), "TabControl" (its "Tabs", each with a "Caption"
// and "Controls"), "CheckBox", "Label" and "PictureBox".
#include <QHash>
#include <QJsonObject>
#include <QPointer>
#include <QString>
#include <QWidget>

namespace corvane::ui {

class LoadedForm {
public:
    // The control of that name and kind, or nullptr.
    template <typename Control>
    Control* Find(const QString& name) const {
        return qobject_cast<Control*>(controls_.value(name).data());
    }
    void Add(const QString& name, QWidget* control) { controls_.insert(name, control); }

private:
    QHash<QString, QPointer<QWidget>> controls_;
};

// Builds the described controls on `form` (they are owned by it through Qt's parent chain). False,
// with `error` saying which control and why, when the description cannot be read; controls built
// before the fault stay.
bool LoadForm(QWidget& form, const QJsonObject& description, LoadedForm& loaded, QString* error);

// Reads a form description from a file or a compiled-in resource (":/corvane/forms/…").
bool ReadFormDescription(const QString& path, QJsonObject& description, QString* error);

}  // namespace corvane::ui
