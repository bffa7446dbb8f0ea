#include "ui/main/form_loader.h"

#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QIcon>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QTabWidget>

#include <memory>
#include <utility>

#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::ui {
namespace {

// A control made for a container; the container's parent chain owns it from here on.
template <typename Control, typename... Args>
Control* MakeChild(QWidget& container, Args&&... args) {
    auto control = std::make_unique<Control>(std::forward<Args>(args)..., &container);
    return control.release();
}

QRect Geometry(const QJsonObject& control) {
    return QRect(control.value(QStringLiteral("Left")).toInt(), control.value(QStringLiteral("Top")).toInt(),
                 control.value(QStringLiteral("Width")).toInt(), control.value(QStringLiteral("Height")).toInt());
}

bool LoadControls(QWidget& container, const QJsonArray& controls, LoadedForm& loaded, QString* error);

bool LoadControl(QWidget& container, const QJsonObject& control, LoadedForm& loaded, QString* error) {
    const QString type = control.value(QStringLiteral("Type")).toString();
    const QString name = control.value(QStringLiteral("Name")).toString();
    const auto fail = [&](const QString& why) {
        if (error != nullptr) *error = name + QStringLiteral(": ") + why;
        return false;
    };
    if (name.isEmpty()) return fail(QStringLiteral("a control without a name"));

    QWidget* widget = nullptr;
    if (type == QLatin1String("zqButtons_H")) {
        auto* button = MakeChild<buttons::zqButtons_H>(container);
        button->setObjectName(name);
        button->setGeometry(Geometry(control));
        QString why;
        if (!button->LoadInstanceData(control.value(QStringLiteral("Properties")).toObject(), &why)) return fail(why);
        widget = button;
    } else if (type == QLatin1String("Frame")) {
        auto* frame = MakeChild<QGroupBox>(container, control.value(QStringLiteral("Caption")).toString());
        frame->setGeometry(Geometry(control));
        widget = frame;
        if (!LoadControls(*frame, control.value(QStringLiteral("Controls")).toArray(), loaded, error)) return false;
    } else if (type == QLatin1String("TabControl")) {
        auto* tabs = MakeChild<QTabWidget>(container);
        tabs->setGeometry(Geometry(control));
        widget = tabs;
        for (const QJsonValue& tab : control.value(QStringLiteral("Tabs")).toArray()) {
            // Each page holds its controls at places measured from the page's corner.
            auto page = std::make_unique<QWidget>();
            QWidget& pageRef = *page;
            tabs->addTab(page.release(), tab.toObject().value(QStringLiteral("Caption")).toString());
            if (!LoadControls(pageRef, tab.toObject().value(QStringLiteral("Controls")).toArray(), loaded, error))
                return false;
        }
    } else if (type == QLatin1String("CheckBox")) {
        auto* box = MakeChild<QCheckBox>(container, control.value(QStringLiteral("Caption")).toString());
        box->setGeometry(Geometry(control));
        widget = box;
    } else if (type == QLatin1String("Label")) {
        auto* label = MakeChild<QLabel>(container, control.value(QStringLiteral("Caption")).toString());
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setGeometry(Geometry(control));
        widget = label;
    } else if (type == QLatin1String("PictureBox")) {
        auto* picture = MakeChild<QLabel>(container);
        const QRect place = Geometry(control);
        const QIcon icon(control.value(QStringLiteral("Picture")).toString());
        if (icon.isNull()) return fail(QStringLiteral("picture cannot be read"));
        picture->setPixmap(icon.pixmap(32, 32));
        picture->setGeometry(place);
        widget = picture;
    } else {
        return fail(QStringLiteral("unknown kind \"") + type + QStringLiteral("\""));
    }
    widget->setObjectName(name);
    loaded.Add(name, widget);
    return true;
}

bool LoadControls(QWidget& container, const QJsonArray& controls, LoadedForm& loaded, QString* error) {
    for (const QJsonValue& control : controls) {
        if (!LoadControl(container, control.toObject(), loaded, error)) return false;
    }
    return true;
}

}  // namespace

bool LoadForm(QWidget& form, const QJsonObject& description, LoadedForm& loaded, QString* error) {
    form.setWindowTitle(description.value(QStringLiteral("Caption")).toString());
    form.resize(description.value(QStringLiteral("ClientWidth")).toInt(),
                description.value(QStringLiteral("ClientHeight")).toInt());
    return LoadControls(form, description.value(QStringLiteral("Controls")).toArray(), loaded, error);
}

bool ReadFormDescription(const QString& path, QJsonObject& description, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error != nullptr) *error = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    if (!document.isObject()) {
        if (error != nullptr) *error = path + QStringLiteral(": ") + parse.errorString();
        return false;
    }
    description = document.object();
    return true;
}

}  // namespace corvane::ui
