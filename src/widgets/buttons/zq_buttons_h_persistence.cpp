// Creating, loading and saving a zqButtons_H instance.
#include <QJsonValue>
#include <optional>

#include "widgets/buttons/instance_values.h"
#include "widgets/buttons/property_bag.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

// Reads the keys of a property store in turn; the first unreadable value stops the reading and leaves
// its description.
class StoreReader {
public:
    explicit StoreReader(const PropertyBag& bag) : bag_(bag) {}

    bool Failed() const { return !error_.isEmpty(); }
    const QString& Error() const { return error_; }

    template <typename T, typename Reader>
    std::optional<T> Read(const char* key, const QJsonValue& fallback, Reader reader) {
        if (Failed()) return std::nullopt;
        const QJsonValue value = bag_.ReadProperty(QString::fromLatin1(key), fallback);
        std::optional<T> result = reader(value);
        if (!result) error_ = QStringLiteral("Invalid property value for \"%1\"").arg(QLatin1String(key));
        return result;
    }

    // An enumerated value: one of 0..count-1.
    std::optional<std::int32_t> Enum(const char* key, std::int32_t fallback, std::int32_t count) {
        auto value = Read<std::int32_t>(key, fallback, ReadLong);
        if (value && (*value < 0 || *value >= count)) {
            error_ = QStringLiteral("Invalid property value for \"%1\"").arg(QLatin1String(key));
            return std::nullopt;
        }
        return value;
    }

    std::optional<OleColor> Color(const char* key, OleColor fallback) {
        return Read<OleColor>(key, static_cast<qint64>(fallback), ReadColor);
    }
    std::optional<bool> Bool(const char* key, bool fallback) { return Read<bool>(key, fallback, ReadBool); }

    std::optional<PictureRef> Picture(const char* key) {
        return Read<PictureRef>(key, QJsonValue(QJsonValue::Null), [](const QJsonValue& value) {
            bool ok = false;
            PictureRef picture = PictureFromJson(value, ok);
            return ok ? std::optional<PictureRef>(picture) : std::nullopt;
        });
    }

    void Fail(const char* key) { error_ = QStringLiteral("Invalid property value for \"%1\"").arg(QLatin1String(key)); }

    const PropertyBag& Bag() const { return bag_; }

private:
    const PropertyBag& bag_;
    QString error_;
};

OleColor ToOleColor(const QColor& color) { return Rgb(color.red(), color.green(), color.blue()); }

// The picture pixel sizes a button can have: 0 (read as 16), a fixed box of 16 to 32 pixels, 40 (the
// picture fills the button) and 48 (it fits the button). PictureSize reads each of them as one of its
// values 0..4, and the layout places each.
bool AcceptablePictureSize(std::int16_t pixels) {
    return pixels == 0 || (pixels >= 16 && pixels <= 32) || pixels == 40 || pixels == 48;
}

}  // namespace

void zqButtons_H::InitNewInstance() {
    WriteContainerTag();
    caption_ = DisplayName();
    captionAlign_ = 2;
    showFocusRect_ = true;
    hoverForeColor_ = kButtonText;
    hoverBackColor_ = kButtonFace;
    // The parent form's font (a form is never an MDI parent here).
    if (QWidget* form = window(); form != this) setFont(form->font());
    containerBackColor_ = TranslateColor(AmbientBackColor());
    backColor_ = kButtonFace;
    UpdateResource("BackColor");
    for (const char* key : {"Caption", "CapAlign", "Focus", "cFHover", "cBHover", "Font"}) MarkChanged(key);
}

bool zqButtons_H::LoadInstanceData(const QJsonObject& data, QString* error) {
    return ReadProperties(PropertyBag(data), error);
}

bool zqButtons_H::ReadProperties(const PropertyBag& bag, QString* error) {
    WriteContainerTag();
    containerBackColor_ = TranslateColor(AmbientBackColor());
    DelayDrawing(true);

    StoreReader in(bag);
    const auto fail = [&] {
        if (error != nullptr) *error = in.Error();
        // The button stays drawable with what was read up to here.
        delayDrawing_ = false;
        return false;
    };
    if (auto v = in.Read<QString>("Caption", QString(), ReadText))
        caption_ = *v;
    else
        return fail();
    if (auto v = in.Enum("CapAlign", 2, 3))
        captionAlign_ = *v;
    else
        return fail();
    if (auto v = in.Enum("BackStyle", 0, 8))
        buttonStyle_ = *v;
    else
        return fail();
    if (auto v = in.Enum("Shape", 0, 9))
        buttonShape_ = *v;
    else
        return fail();
    if (auto v = in.Enum("Gradient", 0, 5))
        gradientMode_ = *v;
    else
        return fail();
    if (auto v = in.Color("cGradient", kButtonFace))
        gradientColor_ = *v;
    else
        return fail();
    if (auto v = in.Color("cFore", kButtonText))
        foreColor_ = *v;
    else
        return fail();
    // A description without a font keeps the window's own (inherited from the form).
    if (bag.Contains(QStringLiteral("Font"))) {
        if (auto v = FontFromJson(bag.ReadProperty(QStringLiteral("Font")), font()))
            setFont(*v);
        else {
            in.Fail("Font");
            return fail();
        }
    }
    if (auto v = in.Bool("Focus", true))
        showFocusRect_ = *v;
    else
        return fail();
    if (auto v = in.Enum("Mode", 0, 3))
        mode_ = *v;
    else
        return fail();
    if (auto v = in.Bool("Value", false))
        value_ = *v;
    else
        return fail();
    if (auto v = in.Enum("CustomClick", 0, 9))
        customClick_ = *v;
    else
        return fail();
    if (auto v = in.Picture("Image"))
        picture_ = *v;
    else
        return fail();
    if (auto v = in.Read<std::int16_t>("ImgSize", 16, ReadInteger)) {
        // A size the picture can have is taken; any other is refused like an out-of-range PictureSize,
        // and the reading goes on.
        if (AcceptablePictureSize(*v)) picturePixelSize_ = *v;
    } else {
        return fail();
    }
    if (auto v = in.Enum("ImgAlign", 0, 6))
        pictureAlign_ = *v;
    else
        return fail();
    if (auto v = in.Color("cFHover", kButtonText))
        hoverForeColor_ = *v;
    else
        return fail();
    if (auto v = in.Bool("Enabled", true))
        setEnabled(*v);
    else
        return fail();
    const OleColor formBack = ToOleColor(window()->palette().color(QPalette::Window));
    if (auto v = in.Color("cBack", formBack))
        backColor_ = *v;
    else
        return fail();
    if (auto v = in.Color("cBHover", backColor_))
        hoverBackColor_ = *v;
    else
        return fail();
    if (auto v = in.Read<std::int32_t>("LockHover", 0, ReadLong))
        hoverColorLocks_ = *v;
    else
        return fail();
    if (auto v = in.Enum("CapStyle", 0, 3))
        captionStyle_ = *v;
    else
        return fail();
    // Through the MouseIcon setter, which refuses a picture that is neither an icon nor a cursor (and
    // the reading goes on without it).
    if (auto v = in.Picture("mIcon"))
        static_cast<void>(SetMouseIcon(*v));
    else
        return fail();
    if (auto v = in.Read<std::int16_t>("mPointer", 0, ReadInteger))
        SetMousePointer(*v);
    else
        return fail();

    // From here on a failing step is skipped and the next one runs.
    UpdateResource("Picture");
    UpdateResource("BackColor");
    SetCaption(caption_);
    if (mode_ == 2) OptionToggle(1);
    delayDrawing_ = false;
    HostResize();
    return true;
}

QJsonObject zqButtons_H::SaveInstanceData() const {
    PropertyBag bag;
    WriteProperties(bag);
    return bag.Data();
}

void zqButtons_H::WriteProperties(PropertyBag& bag) const {
    const auto color = [](OleColor c) { return QJsonValue(static_cast<qint64>(c)); };
    const auto whole = [](std::int32_t n) { return QJsonValue(static_cast<qint64>(n)); };
    bag.WriteProperty(QStringLiteral("Caption"), caption_, QString());
    bag.WriteProperty(QStringLiteral("CapAlign"), whole(captionAlign_), whole(2));
    bag.WriteProperty(QStringLiteral("BackStyle"), whole(buttonStyle_), whole(0));
    bag.WriteProperty(QStringLiteral("Shape"), whole(buttonShape_), whole(0));
    bag.WriteProperty(QStringLiteral("Font"), FontToJson(font()));
    bag.WriteProperty(QStringLiteral("cFore"), color(foreColor_), color(kButtonText));
    bag.WriteProperty(QStringLiteral("cFHover"), color(hoverForeColor_), color(kButtonText));
    bag.WriteProperty(QStringLiteral("cBhover"), color(hoverBackColor_), color(backColor_));
    bag.WriteProperty(QStringLiteral("Focus"), showFocusRect_, true);
    bag.WriteProperty(QStringLiteral("LockHover"), whole(hoverColorLocks_), whole(0));
    bag.WriteProperty(QStringLiteral("cGradient"), color(gradientColor_), color(kButtonFace));
    bag.WriteProperty(QStringLiteral("Gradient"), whole(gradientMode_), whole(0));
    bag.WriteProperty(QStringLiteral("CapStyle"), whole(captionStyle_), whole(0));
    bag.WriteProperty(QStringLiteral("Mode"), whole(mode_));
    bag.WriteProperty(QStringLiteral("Value"), value_);
    bag.WriteProperty(QStringLiteral("CustomClick"), whole(customClick_), whole(0));
    bag.WriteProperty(QStringLiteral("ImgAlign"), whole(pictureAlign_), whole(0));
    bag.WriteProperty(QStringLiteral("Image"), PictureToJson(picture_), QJsonValue(QJsonValue::Null));
    bag.WriteProperty(QStringLiteral("ImgSize"), whole(picturePixelSize_), whole(16));
    bag.WriteProperty(QStringLiteral("Enabled"), Enabled(), true);
    bag.WriteProperty(QStringLiteral("cBack"), color(backColor_));
    bag.WriteProperty(QStringLiteral("mPointer"), whole(mousePointer_), whole(0));
    if (mouseIcon_) bag.WriteProperty(QStringLiteral("mIcon"), PictureToJson(mouseIcon_));
}

}  // namespace corvane::buttons
