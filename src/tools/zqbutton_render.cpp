// zqbutton-render: draws one zqButtons_H to a PNG, or a sheet of every style, shape and state.
//
//   zqbutton-render --out FILE.png [--size WxH] [--state normal|hot|pushed|focus]
//                   [--container-back 0xBBGGRR] [KEY=VALUE ...]
//   zqbutton-render --gallery FILE.png
//
// KEY=VALUE are the button's saved-instance keys ("Caption", "BackStyle", "Shape", "cBack", "Image" as a
// file path, ...), loaded through the button's own loading path. Colours are decimal or 0x hexadecimal
// colour values. The PNG is the button's window after layout (a shape may change its size): RGBA, alpha
// 255 inside the window's region and 0 outside. The classic system colours are used.
#include <QApplication>
#include <QImage>
#include <QJsonObject>
#include <QPainter>
#include <QRegularExpression>
#include <QWidget>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/cursor.h"
#include "platform/gdi/sys_colors.h"
#include "widgets/buttons/button_picture.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace {

using corvane::buttons::zqButtons_H;

constexpr const char* kUsage =
    "usage: zqbutton-render --out FILE.png [--size WxH] [--state normal|hot|pushed|focus]\n"
    "                       [--container-back 0xBBGGRR] [KEY=VALUE ...]\n"
    "       zqbutton-render --gallery FILE.png\n";

// The pointer rests on one window (the button being drawn in the hot and pushed states).
class PointerOn final : public corvane::platform::CursorProvider {
public:
    corvane::platform::WindowHandle window = 0;
    bool CursorPos(corvane::platform::Point& screen) override {
        screen = {1, 1};
        return true;
    }
    corvane::platform::WindowHandle WindowAt(corvane::platform::Point) override { return window; }
};

enum class State { Normal, Hot, Pushed, Focus };

bool ParseState(const QString& text, State& state) {
    if (text == QLatin1String("normal"))
        state = State::Normal;
    else if (text == QLatin1String("hot"))
        state = State::Hot;
    else if (text == QLatin1String("pushed"))
        state = State::Pushed;
    else if (text == QLatin1String("focus"))
        state = State::Focus;
    else
        return false;
    return true;
}

// A number in decimal or 0x hexadecimal, in the 32-bit range (colours above 0x7FFFFFFF are system colours).
bool ParseNumber(const QString& text, qint64& out) {
    bool ok = false;
    const QString t = text.trimmed();
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        out = static_cast<qint64>(t.mid(2).toULongLong(&ok, 16));
    else
        out = t.toLongLong(&ok, 10);
    return ok && out >= -2147483648LL && out <= 0xFFFFFFFFLL;
}

// One KEY=VALUE into the saved form. Numbers stay numbers, "Image" becomes a picture source, "Caption"
// stays text, True/False become booleans.
bool AddKey(QJsonObject& data, const QString& key, const QString& value) {
    if (key.compare(QLatin1String("Image"), Qt::CaseInsensitive) == 0) {
        data.insert(key, QJsonObject{{QStringLiteral("source"), value}});
        return true;
    }
    if (key.compare(QLatin1String("Caption"), Qt::CaseInsensitive) == 0) {
        data.insert(key, value);
        return true;
    }
    if (value.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
        data.insert(key, true);
        return true;
    }
    if (value.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
        data.insert(key, false);
        return true;
    }
    qint64 number = 0;
    if (!ParseNumber(value, number)) return false;
    data.insert(key, number);
    return true;
}

struct Request {
    QSize size{100, 30};
    State state = State::Normal;
    QColor containerBack{212, 208, 200};
    QJsonObject data;
};

// Draws one button as its window shows it.
QImage Render(const Request& request, PointerOn& pointer, QString* error) {
    QWidget form;
    QPalette palette = form.palette();
    palette.setColor(QPalette::Window, request.containerBack);
    form.setPalette(palette);
    form.resize(request.size.width() + 40, request.size.height() + 40);
    auto button = std::make_unique<zqButtons_H>(&form);
    button->move(10, 10);
    button->resize(request.size);
    if (!button->LoadInstanceData(request.data, error)) return {};
    pointer.window = 0;
    switch (request.state) {
        case State::Normal:
            break;
        case State::Hot:
        case State::Pushed:
            pointer.window = button->hwnd();
            button->HostMouseMove(0, 0, 1, 1);
            if (request.state == State::Pushed) button->HostMouseDown(1, 0, 1, 1);
            break;
        case State::Focus:
            button->SetDefault(true);
            break;
    }
    button->Refresh();
    QImage image = button->WindowImage();
    pointer.window = 0;
    return image;
}

// A picture for the custom shapes of the gallery: a disc and a bar on a white background.
corvane::buttons::PictureRef GalleryPicture() {
    QImage image(64, 40, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(40, 110, 200));
    painter.drawEllipse(2, 2, 36, 36);
    painter.setBrush(QColor(200, 60, 40));
    painter.drawRect(30, 12, 32, 16);
    painter.end();
    return corvane::buttons::MakePicture(image);
}

int Gallery(const QString& out, PointerOn& pointer) {
    constexpr int kCellW = 112, kCellH = 44, kLabelW = 96, kHeaderH = 20;
    const char* states[] = {"normal", "hot", "pushed", "focus"};
    const State stateValues[] = {State::Normal, State::Hot, State::Pushed, State::Focus};
    const auto picture = GalleryPicture();
    QImage sheet(kLabelW + 9 * kCellW, kHeaderH + 8 * 4 * kCellH, QImage::Format_ARGB32);
    sheet.fill(QColor(212, 208, 200));
    QPainter painter(&sheet);
    painter.setPen(Qt::black);
    for (int shape = 0; shape < 9; ++shape)
        painter.drawText(QRect(kLabelW + shape * kCellW, 0, kCellW, kHeaderH), Qt::AlignCenter,
                         QStringLiteral("Shape %1").arg(shape));
    for (int style = 0; style < 8; ++style) {
        for (int s = 0; s < 4; ++s) {
            const int row = style * 4 + s;
            painter.drawText(QRect(4, kHeaderH + row * kCellH, kLabelW, kCellH), Qt::AlignVCenter | Qt::AlignLeft,
                             QStringLiteral("Style %1 %2").arg(style).arg(QLatin1String(states[s])));
            for (int shape = 0; shape < 9; ++shape) {
                Request request;
                request.size = QSize(92, 32);
                request.state = stateValues[s];
                request.data.insert(QStringLiteral("Caption"), QStringLiteral("&Button"));
                request.data.insert(QStringLiteral("BackStyle"), style);
                request.data.insert(QStringLiteral("cBack"), static_cast<qint64>(0x8000000F));
                request.data.insert(QStringLiteral("Mode"), 0);
                request.data.insert(QStringLiteral("Shape"), shape);
                if (shape >= 7) {
                    request.data.insert(QStringLiteral("Image"), corvane::buttons::PictureToJson(picture));
                    request.data.insert(QStringLiteral("ImgSize"), 48);
                }
                QString error;
                const QImage image = Render(request, pointer, &error);
                if (image.isNull()) {
                    std::fprintf(stderr, "zqbutton-render: style %d shape %d: %s\n", style, shape, qPrintable(error));
                    return 1;
                }
                painter.drawImage(kLabelW + shape * kCellW + 4, kHeaderH + row * kCellH + 4, image);
            }
        }
    }
    painter.end();
    if (!sheet.save(out, "PNG")) {
        std::fprintf(stderr, "zqbutton-render: cannot write %s\n", qPrintable(out));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    corvane::gdi::SetSysColorSource({});  // the classic system colours
    auto pointer = std::make_shared<PointerOn>();
    const auto previous = corvane::platform::SetCursorProvider(pointer);

    const QStringList args = QCoreApplication::arguments().mid(1);
    Request request;
    QString out, gallery;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--out") && hasValue) {
            out = args[++i];
        } else if (arg == QLatin1String("--gallery") && hasValue) {
            gallery = args[++i];
        } else if (arg == QLatin1String("--size") && hasValue) {
            const auto match = QRegularExpression(QStringLiteral("^(\\d{1,4})x(\\d{1,4})$")).match(args[++i]);
            if (!match.hasMatch() || match.captured(1).toInt() < 1 || match.captured(2).toInt() < 1) {
                std::fprintf(stderr, "zqbutton-render: bad --size (WxH expected)\n%s", kUsage);
                return 2;
            }
            request.size = QSize(match.captured(1).toInt(), match.captured(2).toInt());
        } else if (arg == QLatin1String("--state") && hasValue) {
            if (!ParseState(args[++i], request.state)) {
                std::fprintf(stderr, "zqbutton-render: bad --state\n%s", kUsage);
                return 2;
            }
        } else if (arg == QLatin1String("--container-back") && hasValue) {
            qint64 value = 0;
            if (!ParseNumber(args[++i], value) || value < 0 || value > 0xFFFFFF) {
                std::fprintf(stderr, "zqbutton-render: bad --container-back (0xBBGGRR expected)\n");
                return 2;
            }
            request.containerBack = QColor(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF);
        } else if (const qsizetype eq = arg.indexOf(QLatin1Char('=')); eq > 0) {
            if (!AddKey(request.data, arg.left(eq), arg.mid(eq + 1))) {
                std::fprintf(stderr, "zqbutton-render: bad value for %s\n", qPrintable(arg.left(eq)));
                return 2;
            }
        } else {
            std::fprintf(stderr, "%s", kUsage);
            return 2;
        }
    }
    int result = 2;
    if (!gallery.isEmpty()) {
        result = Gallery(gallery, *pointer);
    } else if (!out.isEmpty()) {
        QString error;
        const QImage image = Render(request, *pointer, &error);
        if (image.isNull()) {
            std::fprintf(stderr, "zqbutton-render: %s\n",
                         qPrintable(error.isEmpty() ? QStringLiteral("nothing drawn") : error));
            result = 1;
        } else if (!image.save(out, "PNG")) {
            std::fprintf(stderr, "zqbutton-render: cannot write %s\n", qPrintable(out));
            result = 1;
        } else {
            result = 0;
        }
    } else {
        std::fprintf(stderr, "%s", kUsage);
    }
    corvane::platform::SetCursorProvider(previous);
    return result;
}
