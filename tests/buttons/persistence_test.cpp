// New instances, saved instance data and loading it back.
#include <gtest/gtest.h>

#include <QImage>
#include <QJsonDocument>

#include "button_test_support.h"
#include "platform/window.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

using ::corvane::buttons::testing::EventRecorder;
using Events = std::vector<std::string>;

QJsonObject Json(const char* text) { return QJsonDocument::fromJson(QByteArray(text)).object(); }

class ButtonPersistence : public ::testing::Test {
protected:
    void SetUp() override {
        testing::App();
        form = std::make_unique<QWidget>();
        QFont formFont(QStringLiteral("DejaVu Sans"));
        formFont.setPointSizeF(11.5);
        form->setFont(formFont);
        QPalette palette = form->palette();
        palette.setColor(QPalette::Window, QColor(10, 20, 30));
        form->setPalette(palette);
    }
    std::unique_ptr<zqButtons_H> MakeButton(const QString& name = QStringLiteral("BtnTest")) {
        auto button = std::make_unique<zqButtons_H>(form.get());
        button->setObjectName(name);
        button->resize(90, 25);
        return button;
    }
    std::unique_ptr<QWidget> form;
};

TEST_F(ButtonPersistence, NewInstanceTakesHostValuesAndMarksItsKeys) {
    auto button = MakeButton(QStringLiteral("BtnOptions"));
    EventRecorder recorder(*button);
    button->InitNewInstance();
    EXPECT_EQ(button->Tag(), QString::number(platform::HandleOf(form.get())));
    EXPECT_EQ(button->ContainerHandle(), platform::HandleOf(form.get()));
    EXPECT_EQ(button->Caption(), QStringLiteral("BtnOptions"));
    EXPECT_EQ(button->CaptionAlign(), 2);
    EXPECT_TRUE(button->ShowFocusRect());
    EXPECT_EQ(button->HoverForeColor(), kButtonText);
    EXPECT_EQ(button->HoverBackColor(), kButtonFace);
    EXPECT_EQ(button->BackColor(), kButtonFace);
    EXPECT_EQ(button->ForeColor(), kButtonText);
    EXPECT_EQ(button->GradientColor(), 0);
    EXPECT_EQ(button->PicturePixelSize(), 0);
    EXPECT_EQ(button->PictureSize(), 0);  // 0 reads as 16 pixels
    EXPECT_EQ(button->Mode(), 0);
    EXPECT_FALSE(button->Value());
    EXPECT_EQ(button->Font().family(), form->font().family());
    EXPECT_DOUBLE_EQ(button->Font().pointSizeF(), 11.5);
    EXPECT_EQ(button->ContainerBackColor(), Rgb(10, 20, 30));
    EXPECT_EQ(button->FaceColors().face, TranslateColor(kButtonFace));
    EXPECT_EQ(recorder.Take(), (Events{"Changed Caption", "Changed CapAlign", "Changed Focus", "Changed cFHover",
                                       "Changed cBHover", "Changed Font"}));
}

TEST_F(ButtonPersistence, SavingLeavesOutDefaultsAndWritesLowerCaseKeys) {
    auto button = MakeButton();
    button->InitNewInstance();
    const QJsonObject saved = button->SaveInstanceData();
    EXPECT_EQ(saved.value("caption").toString(), QStringLiteral("BtnTest"));
    EXPECT_FALSE(saved.contains("capalign"));  // 2 is the default
    EXPECT_FALSE(saved.contains("focus"));
    EXPECT_FALSE(saved.contains("cfhover"));
    EXPECT_FALSE(saved.contains("cbhover"));  // equal to the BackColor
    EXPECT_FALSE(saved.contains("image"));
    EXPECT_FALSE(saved.contains("micon"));
    // Always written: Mode, Value, cBack, Font.
    EXPECT_EQ(saved.value("mode").toInt(-1), 0);
    EXPECT_EQ(saved.value("value").toBool(true), false);
    EXPECT_EQ(saved.value("cback").toInteger(), static_cast<qint64>(kButtonFace));
    EXPECT_TRUE(saved.value("font").isObject());
    // A new instance's gradient colour (0) and pixel size (0) differ from the saved defaults.
    EXPECT_EQ(saved.value("cgradient").toInteger(-1), 0);
    EXPECT_EQ(saved.value("imgsize").toInteger(-1), 0);
    for (const QString& key : saved.keys()) EXPECT_EQ(key, key.toLower());
}

TEST_F(ButtonPersistence, RoundTripKeepsEveryProperty) {
    auto original = MakeButton();
    original->InitNewInstance();
    original->SetCaption(QStringLiteral("&Options"));
    original->SetCaptionAlign(0);
    original->SetCaptionStyle(2);
    original->SetButtonStyle(3);
    original->SetMode(1);
    original->SetValue(true);
    original->SetGradientColor(Rgb(1, 2, 3));
    original->SetGradientMode(4);
    original->SetBackColor(Rgb(200, 100, 50));
    original->SetForeColor(Rgb(0, 0, 128));
    original->SetHoverForeColor(Rgb(255, 0, 0));
    original->SetPicture(MakePicture(QImage(12, 8, QImage::Format_RGB32)));
    original->SetPictureSize(2);
    original->SetPictureAlign(3);
    original->SetCustomClick(5);
    original->SetShowFocusRect(false);
    original->SetEnabled(false);
    original->SetFontStyle(4);
    original->SetMouseIcon(MakePicture(QImage(16, 16, QImage::Format_ARGB32), ButtonPicture::Kind::Cursor));
    const QJsonObject saved = original->SaveInstanceData();

    auto loaded = MakeButton();
    QString error;
    ASSERT_TRUE(loaded->LoadInstanceData(saved, &error)) << error.toStdString();
    EXPECT_EQ(loaded->Caption(), QStringLiteral("&Options"));
    EXPECT_EQ(loaded->AccessKey(), QStringLiteral("O"));
    EXPECT_EQ(loaded->CaptionAlign(), 0);
    EXPECT_EQ(loaded->CaptionStyle(), 2);
    EXPECT_EQ(loaded->ButtonStyle(), 3);
    EXPECT_EQ(loaded->Mode(), 1);
    EXPECT_TRUE(loaded->Value());
    EXPECT_EQ(loaded->GradientColor(), Rgb(1, 2, 3));
    EXPECT_EQ(loaded->GradientMode(), 4);
    EXPECT_EQ(loaded->BackColor(), Rgb(200, 100, 50));
    EXPECT_EQ(loaded->ForeColor(), Rgb(0, 0, 128));
    EXPECT_EQ(loaded->HoverForeColor(), Rgb(255, 0, 0));
    EXPECT_EQ(loaded->HoverBackColor(), original->HoverBackColor());
    EXPECT_EQ(loaded->HoverColorLocks(), original->HoverColorLocks());
    ASSERT_NE(loaded->Picture(), nullptr);
    EXPECT_EQ(loaded->Picture()->image.size(), QSize(12, 8));
    EXPECT_EQ(loaded->PictureWidth(), 12);
    EXPECT_EQ(loaded->PictureSize(), 2);
    EXPECT_EQ(loaded->PictureAlign(), 3);
    EXPECT_EQ(loaded->CustomClick(), 5);
    EXPECT_FALSE(loaded->ShowFocusRect());
    EXPECT_FALSE(loaded->Enabled());
    EXPECT_TRUE(loaded->Font().italic());
    EXPECT_EQ(loaded->MousePointer(), 99);
    ASSERT_NE(loaded->MouseIcon(), nullptr);
    EXPECT_EQ(loaded->MouseIcon()->kind, ButtonPicture::Kind::Cursor);
    EXPECT_EQ(loaded->FaceColors().checked, Rgb(171, 173, 173));
    EXPECT_EQ(loaded->SaveInstanceData(), saved);
}

TEST_F(ButtonPersistence, LoadingMatchesKeysWithoutCaseAndPaintsOnce) {
    auto button = MakeButton();
    EventRecorder recorder(*button);
    ASSERT_TRUE(button->LoadInstanceData(Json(R"({"CAPTION": "E&xit", "cBHover": 255, "BackStyle": 7,
                                                  "cBack": "0x8000000F", "CapAlign": 1, "LOCKHOVER": 1})")));
    EXPECT_EQ(button->Caption(), QStringLiteral("E&xit"));
    EXPECT_EQ(button->AccessKey(), QStringLiteral("x"));
    EXPECT_EQ(button->HoverBackColor(), 255);
    EXPECT_EQ(button->BackColor(), kButtonFace);
    EXPECT_EQ(button->ButtonStyle(), 7);
    EXPECT_EQ(button->CaptionAlign(), 1);
    EXPECT_EQ(button->HoverColorLocks(), 1);
    EXPECT_FALSE(button->DelayDrawingFlag());
    const Events events = recorder.Take();
    EXPECT_EQ(std::count(events.begin(), events.end(), "Redraw"), 1);
    EXPECT_EQ(events.back(), "Redraw");
    EXPECT_EQ(button->Tag(), QString::number(platform::HandleOf(form.get())));
}

TEST_F(ButtonPersistence, MissingKeysTakeTheirLoadingDefaults) {
    auto button = MakeButton();
    ASSERT_TRUE(button->LoadInstanceData(QJsonObject()));
    EXPECT_EQ(button->CaptionAlign(), 2);
    EXPECT_EQ(button->BackColor(), Rgb(10, 20, 30));       // the parent form's BackColor
    EXPECT_EQ(button->HoverBackColor(), Rgb(10, 20, 30));  // the BackColor just read
    EXPECT_EQ(button->GradientColor(), kButtonFace);
    EXPECT_EQ(button->HoverForeColor(), kButtonText);
    EXPECT_EQ(button->PicturePixelSize(), 16);
    EXPECT_TRUE(button->ShowFocusRect());
    EXPECT_TRUE(button->Enabled());
    EXPECT_EQ(button->Mode(), 0);
    EXPECT_EQ(button->MousePointer(), 0);
    EXPECT_EQ(button->Font().family(), form->font().family());  // no "Font": the window's own
}

TEST_F(ButtonPersistence, UnreadableValuesStopTheLoadAndSayWhichButLeaveTheButtonDrawable) {
    for (const char* text : {R"({"Shape": 12})", R"({"Caption": 5})", R"({"BackStyle": -1})", R"({"ImgSize": "big"})",
                             R"({"Font": "Arial"})", R"({"Image": {"source": "/no/such/picture.png"}})",
                             R"({"mPointer": 40000})", R"({"mIcon": 7})"}) {
        auto button = MakeButton();
        QString error;
        EXPECT_FALSE(button->LoadInstanceData(Json(text), &error)) << text;
        const QString key = Json(text).keys().front();
        EXPECT_TRUE(error.contains(key)) << error.toStdString();
        EXPECT_EQ(button->ButtonShape(), 0);
        EXPECT_EQ(button->ButtonStyle(), 0);
        // Drawing is not left suspended: the next change paints.
        EXPECT_FALSE(button->DelayDrawingFlag()) << text;
        EventRecorder recorder(*button);
        button->SetCaption(QStringLiteral("After"));
        EXPECT_EQ(recorder.Take(), (Events{"Redraw", "Changed Caption"})) << text;
    }
}

TEST_F(ButtonPersistence, LoadingTakesWhatThePropertiesTakeAndGoesOnPastWhatTheyRefuse) {
    // A mouse icon that is no icon or cursor is refused as the MouseIcon setter refuses it; the rest
    // of the data (read after it) still loads.
    QJsonObject data;
    data.insert(QStringLiteral("mIcon"), PictureToJson(MakePicture(QImage(16, 16, QImage::Format_RGB32))));
    data.insert(QStringLiteral("mPointer"), 3);
    data.insert(QStringLiteral("BackStyle"), 2);
    auto button = MakeButton();
    QString error;
    ASSERT_TRUE(button->LoadInstanceData(data, &error)) << error.toStdString();
    EXPECT_EQ(button->MouseIcon(), nullptr);
    EXPECT_EQ(button->MousePointer(), 3);
    EXPECT_EQ(button->ButtonStyle(), 2);
    EXPECT_FALSE(button->DelayDrawingFlag());

    // Picture sizes: 0 (read as 16), fixed boxes of 16 to 32 pixels, 40 (fill) and 48 (fit) load as
    // they are; others are refused and the button keeps its size (a new one: 0, read as 16), loading
    // the keys after it all the same.
    for (int pixels : {0, 16, 17, 20, 24, 31, 32, 40, 48}) {
        auto b = MakeButton();
        const QJsonObject sized{{QStringLiteral("ImgSize"), pixels}, {QStringLiteral("CapStyle"), 1}};
        ASSERT_TRUE(b->LoadInstanceData(sized, &error)) << pixels << error.toStdString();
        if (pixels == 0) {
            EXPECT_EQ(b->PictureSize(), 0);  // 0 reads as 16 pixels
        } else {
            EXPECT_EQ(b->PicturePixelSize(), pixels);
        }
        EXPECT_EQ(b->CaptionStyle(), 1);
    }
    for (int pixels : {-16, 8, 15, 33, 39, 44, 56, 1000}) {
        auto b = MakeButton();
        const QJsonObject sized{{QStringLiteral("ImgSize"), pixels}, {QStringLiteral("CapStyle"), 1}};
        ASSERT_TRUE(b->LoadInstanceData(sized, &error)) << pixels << error.toStdString();
        EXPECT_EQ(b->PictureSize(), 0) << pixels;
        EXPECT_EQ(b->PicturePixelSize(), 16) << pixels;
        EXPECT_EQ(b->CaptionStyle(), 1);
    }
}

TEST_F(ButtonPersistence, EnabledIsTheButtonsOwnFlagInsideADisabledContainer) {
    QWidget frame(form.get());
    auto button = std::make_unique<zqButtons_H>(&frame);
    button->InitNewInstance();
    frame.setEnabled(false);
    ASSERT_FALSE(button->isEnabled());  // Qt's effective state follows the frame
    EXPECT_TRUE(button->Enabled());
    // Saved as enabled: the default, so no key.
    EXPECT_FALSE(button->SaveInstanceData().contains(QStringLiteral("enabled")));

    // Disabling it inside the disabled frame is a change, and it sticks when the frame comes back.
    EventRecorder recorder(*button, false);
    button->SetEnabled(false);
    EXPECT_EQ(recorder.Take(), (Events{"Changed Enabled"}));
    EXPECT_FALSE(button->Enabled());
    EXPECT_EQ(button->SaveInstanceData().value(QStringLiteral("enabled")), QJsonValue(false));
    frame.setEnabled(true);
    EXPECT_FALSE(button->Enabled());
    EXPECT_FALSE(button->isEnabled());
    button->SetEnabled(false);  // the same value: nothing
    EXPECT_TRUE(recorder.Take().empty());

    // Loading into a disabled frame keeps the saved flag.
    frame.setEnabled(false);
    auto loaded = std::make_unique<zqButtons_H>(&frame);
    ASSERT_TRUE(loaded->LoadInstanceData(Json(R"({"Enabled": true})")));
    EXPECT_TRUE(loaded->Enabled());
    frame.setEnabled(true);
    EXPECT_TRUE(loaded->isEnabled());
}

}  // namespace
}  // namespace corvane::buttons
