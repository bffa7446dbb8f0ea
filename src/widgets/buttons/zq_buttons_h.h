#pragma once
// zqButtons_H: the program's custom-drawn button. One control acts as a command button, a check box or an
// option button (one selected per container). The widget plays both the control's own window and its
// host: it supplies the ambient values (running or being designed, display name, container back colour,
// DisplayAsDefault), the parent form's Font and BackColor, the container handle kept as decimal text in
// the tag, the window's Enabled/ForeColor/Font/MousePointer/MouseIcon and access key, the property store,
// the property-changed notification and the message box.
//
// A button is set up by exactly one of InitNewInstance() (first placed on a form) or
// LoadInstanceData() (the form's saved description of it), after it has been given its container.
// Saved instance data is a JSON object keyed by the property keys ("Caption", "CapAlign", "BackStyle",
// "Shape", "Mode", "Value", "cBack", ...; any case), e.g.
//   {"Caption": "&Options", "BackStyle": 3, "Mode": 1, "cBack": "0x8000000F",
//    "Font": {"name": "Tahoma", "size": 8.25, "bold": true}, "Image": {"source": ":/img/on.png"}}
// Colours are numbers or "0x..." / "#RRGGBB" texts; pictures are {"source": file or resource} objects.
// Events are Qt signals whose arguments are references: connect them directly (same thread).
#include <QFont>
#include <QImage>
#include <QJsonObject>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/gdi/gdi_types.h"
#include "platform/window.h"
#include "platform/window_gdi.h"
#include "widgets/buttons/button_picture.h"
#include "widgets/buttons/colors.h"
#include "widgets/buttons/ole_color.h"

class QMimeData;

namespace corvane::buttons {

class PropertyBag;
class zqButtons_H;

namespace modZqTimer {
void timer_proc(platform::WindowHandle hwnd, std::uint32_t uMsg, std::uintptr_t idEvent, std::uint32_t dwTime);
}

class zqButtons_H : public QWidget {
    Q_OBJECT

public:
    // State flags.
    static constexpr std::uint16_t kFocusLook = 1;
    static constexpr std::uint16_t kButtonDown = 2;
    static constexpr std::uint16_t kHotLook = 4;
    static constexpr std::uint16_t kClickShift = 1024;
    // The hover timer on the button's own window.
    static constexpr std::uintptr_t kHoverTimerId = 237;
    static constexpr int kHoverIntervalMs = 50;

    explicit zqButtons_H(QWidget* container = nullptr);
    ~zqButtons_H() override;
    zqButtons_H(const zqButtons_H&) = delete;
    zqButtons_H& operator=(const zqButtons_H&) = delete;

    // ---- Host: ambient values ----
    // Running (True) or the form being designed (False). Design time shows the setters' messages.
    bool UserMode() const { return userMode_; }
    void SetUserMode(bool running) { userMode_ = running; }
    // The instance's display name (the object name unless set).
    QString DisplayName() const;
    void SetDisplayName(const QString& name) { displayName_ = name; }
    // The container's back colour as an RGB value (from its palette).
    OleColor AmbientBackColor() const;
    // True while this button is shown as the form's default: focused, or the default button while no
    // other button of the form has the focus.
    bool DisplayAsDefault() const { return displayAsDefault_; }
    // Default (Enter) and cancel (Escape) buttons of the form.
    bool Default() const { return default_; }
    void SetDefault(bool isDefault);
    bool Cancel() const { return cancel_; }
    void SetCancel(bool isCancel);
    // The container window handle as decimal text, written at creation and loading.
    QString Tag() const { return tag_; }
    platform::WindowHandle ContainerHandle() const;
    // The access key taken from the caption (empty for none).
    QString AccessKey() const { return accessKey_; }

    // ---- Instance data ----
    void InitNewInstance();
    // Loads saved instance data (keys matched without regard to case). False, with a description in
    // `error`, when a value of the store cannot be read; the button keeps what was read up to there.
    bool LoadInstanceData(const QJsonObject& data, QString* error = nullptr);
    QJsonObject SaveInstanceData() const;
    bool ReadProperties(const PropertyBag& bag, QString* error = nullptr);
    void WriteProperties(PropertyBag& bag) const;

    // ---- Properties ----
    std::int32_t ButtonStyle() const { return buttonStyle_; }
    void SetButtonStyle(std::int32_t style);
    std::int32_t Mode() const { return mode_; }
    void SetMode(std::int32_t mode);
    QString Caption() const { return caption_; }
    void SetCaption(const QString& caption);
    std::int32_t CaptionAlign() const { return captionAlign_; }
    void SetCaptionAlign(std::int32_t align);
    std::int32_t CaptionStyle() const { return captionStyle_; }
    void SetCaptionStyle(std::int32_t style);
    std::int32_t CustomClick() const { return customClick_; }
    void SetCustomClick(std::int32_t direction);
    std::int32_t ButtonShape() const { return buttonShape_; }
    void SetButtonShape(std::int32_t shape);
    PictureRef Picture() const { return picture_; }
    void SetPicture(PictureRef picture);
    std::int32_t PictureAlign() const { return pictureAlign_; }
    void SetPictureAlign(std::int32_t align);
    // The button's own flag: a button inside a disabled container keeps it (Qt's isEnabled() does not).
    bool Enabled() const;
    void SetEnabled(bool enabled);
    bool ShowFocusRect() const { return showFocusRect_; }
    void SetShowFocusRect(bool show);
    // The default member: a button's checked / selected state.
    bool Value() const { return value_; }
    void SetValue(bool value);
    std::int32_t PictureSize();
    void SetPictureSize(std::int32_t size);
    std::int32_t MousePointer() const { return mousePointer_; }
    void SetMousePointer(std::int32_t pointer);
    PictureRef MouseIcon() const { return mouseIcon_; }
    // False when the picture is not an icon or cursor (the window refuses it).
    bool SetMouseIcon(PictureRef icon);
    QFont Font() const { return font(); }
    void SetFont(const QFont& font);
    std::int32_t FontStyle() const;
    void SetFontStyle(std::int32_t style);
    OleColor ForeColor() const { return foreColor_; }
    void SetForeColor(OleColor color);
    OleColor BackColor() const { return backColor_; }
    void SetBackColor(OleColor color);
    OleColor GradientColor() const { return gradientColor_; }
    void SetGradientColor(OleColor color);
    std::int32_t GradientMode() const { return gradientMode_; }
    void SetGradientMode(std::int32_t mode);
    bool ResetDefaultColors() const { return false; }
    void SetResetDefaultColors(bool reset);
    std::int32_t HoverColorLocks() const { return hoverColorLocks_; }
    void SetHoverColorLocks(std::int32_t locks);
    OleColor HoverForeColor() const { return hoverForeColor_; }
    void SetHoverForeColor(OleColor color);
    OleColor HoverBackColor() const { return hoverBackColor_; }
    void SetHoverBackColor(OleColor color);
    // The window handle, and the window's device context (the same one for the window's whole life).
    platform::WindowHandle hwnd() const;
    gdi::HDC hDC() const { return platform::GetDC(hwnd()); }

    void Refresh();
    void DelayDrawing(bool bDelay);

    // ---- State read by the painters ----
    std::uint16_t StateFlags() const { return stateFlags_; }
    bool PressedFlag() const { return pressed_; }
    bool PointerOver() const { return pointerOver_; }
    bool DelayDrawingFlag() const { return delayDrawing_; }
    std::int16_t LastMouseButton() const { return lastMouseButton_; }
    OleColor ContainerBackColor() const { return containerBackColor_; }
    const DerivedColors& FaceColors() const { return faceColors_; }
    int PicturePixelSize() const { return picturePixelSize_; }
    int PictureWidth() const { return pictureWidth_; }
    int PictureHeight() const { return pictureHeight_; }
    bool PictureIsIcon() const { return pictureIsIcon_; }
    // The number of repaints so far (Redraw calls that painted).
    int RedrawCount() const { return redrawCount_; }

    // ---- Drawing state ----
    gdi::HDC CanvasDC() const { return canvasDC_; }
    int BottomLeftX() const { return bottomLeftX_; }
    int TopRightX() const { return topRightX_; }
    gdi::RECT CaptionRect() const { return captionRect_; }
    gdi::RECT PictureRect() const { return pictureRect_; }
    // Copies (the caller deletes them): the window's region (null when none is set) and the clip regions.
    gdi::HRGN GetWindowRgn() const;
    gdi::HRGN OuterClipRegionCopy() const;
    gdi::HRGN InnerClipRegionCopy() const;
    // The picture bitmap cut for custom shapes and drawn for bitmaps (null before it is made).
    gdi::HBITMAP PictureMask() const { return pictureMask_; }
    // What the window shows: its pixels, alpha 255 inside the window's region and 0 outside.
    QImage WindowImage() const;

    // ---- Host notifications (the widget's Qt events deliver them; a host may also call them) ----
    void HostMouseDown(std::int16_t button, std::int16_t shift, float x, float y);
    void HostMouseMove(std::int16_t button, std::int16_t shift, float x, float y);
    void HostMouseUp(std::int16_t button, std::int16_t shift, float x, float y);
    void HostClick();
    void HostDblClick();
    void HostKeyDown(std::int16_t& keyCode, std::int16_t shift);
    void HostKeyPress(std::int16_t& keyAscii);
    void HostKeyUp(std::int16_t& keyCode, std::int16_t shift);
    void HostAccessKeyPress(std::int16_t keyAscii);
    void HostGotFocus();
    void HostAmbientChanged(const QString& propertyName);
    void HostShow();
    void HostPaint();
    void HostResize();
    void HostOLECompleteDrag(std::int32_t& effect);
    void HostOLEDragDrop(const QMimeData*& data, std::int32_t& effect, std::int16_t& button, std::int16_t& shift,
                         float& x, float& y);
    void HostOLEDragOver(const QMimeData*& data, std::int32_t& effect, std::int16_t& button, std::int16_t& shift,
                         float& x, float& y, std::int16_t& state);
    void HostOLEGiveFeedback(std::int32_t& effect, bool& defaultCursors);
    void HostOLESetData(const QMimeData*& data, std::int16_t& dataFormat);
    void HostOLEStartDrag(const QMimeData*& data, std::int32_t& allowedEffects);

signals:
    // The control's events; every argument is passed by reference (connect directly).
    void MouseDown(std::int16_t& Button, std::int16_t& Shift, float& X, float& Y);
    void MouseUp(std::int16_t& Button, std::int16_t& Shift, float& X, float& Y);
    void MouseMove(std::int16_t& Button, std::int16_t& Shift, float& X, float& Y);
    void KeyDown(std::int16_t& KeyCode, std::int16_t& Shift);
    void KeyPress(std::int16_t& KeyAscii);
    void KeyUp(std::int16_t& KeyCode, std::int16_t& Shift);
    void MouseOnButton(bool& OnButton);
    void Click();
    void DoubleClick(std::int16_t& Button);
    void OLECompleteDrag(std::int32_t& Effect);
    void OLEDragDrop(const QMimeData*& Data, std::int32_t& Effect, std::int16_t& Button, std::int16_t& Shift, float& X,
                     float& Y);
    void OLEDragOver(const QMimeData*& Data, std::int32_t& Effect, std::int16_t& Button, std::int16_t& Shift, float& X,
                     float& Y, std::int16_t& State);
    void OLEGiveFeedback(std::int32_t& Effect, bool& DefaultCursors);
    void OLESetData(const QMimeData*& Data, std::int16_t& DataFormat);
    void OLEStartDrag(const QMimeData*& Data, std::int32_t& AllowedEffects);

    // The host's property-changed notification: the saved key whose value changed.
    void PropertyChanged(const QString& key);
    // A repaint happened (the canvas holds the new face).
    void Redrawn();

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    friend void modZqTimer::timer_proc(platform::WindowHandle, std::uint32_t, std::uintptr_t, std::uint32_t);

    // One repaint's edges: 16 points, 12 segment colours (index 1..12, -1 not drawn), the edge state and the
    // frame mode (0 stop, 1 plain, 3 frame region selected, 4 ring painted).
    struct EdgeSet {
        gdi::POINT points[16] = {};
        OleColor colors[13] = {};
        std::int16_t state = 0;
        std::int16_t frameMode = 0;
    };

    // Pipeline.
    void Redraw();
    bool CanvasOutOfDate() const;
    void PrepareCanvas(bool create);
    void SelectTool(bool enable, gdi::HDC dc, int kind = 0, OleColor color = 0, bool alsoPen = false, int penWidth = 1,
                    int penStyle = 0);
    void FillBox(gdi::HDC dc, int left, int top, int right, int bottom, OleColor fill, OleColor border = -1,
                 int borderWidth = 1, int borderStyle = 0);
    void DrawGradient(OleColor from, OleColor to);
    void DrawGradientFixed(OleColor from, OleColor to);
    void DrawFace(OleColor face, EdgeSet& edges, OleColor gradientTo, OleColor hotColor);
    std::int16_t PrepareFrame();
    bool CustomClickShift();
    void EndLogic(EdgeSet& edges) const;
    void ReleaseDrawing();
    bool Pushed() const { return (stateFlags_ & (kButtonDown | kHotLook)) == (kButtonDown | kHotLook); }
    bool FocusLook() const { return (stateFlags_ & kFocusLook) != 0; }
    int InnerWidth() const { return width(); }
    int InnerHeight() const { return height(); }

    // Styles.
    void PaintStyle0(EdgeSet& edges);
    void PaintStyle1(EdgeSet& edges);
    void PaintStyle2(EdgeSet& edges);
    void PaintStyle3(EdgeSet& edges);
    void PaintStyle4(EdgeSet& edges);
    void PaintStyle5(EdgeSet& edges);
    void PaintStyle6(EdgeSet& edges);
    void PaintStyle7(EdgeSet& edges);
    OleColor StandardFace() const;
    OleColor StandardDisabledColor() const;
    // The frame styles 0, 1, 4, 5 and 6 begin with: their face (returned in `face`), the caption with
    // the standard disabled colour (returned in `disabled`). False when the frame mode draws no edges.
    bool PaintStandardFrame(EdgeSet& edges, OleColor& face, OleColor& disabled);
    // The face of styles 3 and 7: pressed for a pushed command button, checked for a set check or option.
    OleColor FlatFace() const;
    void DrawEdges(EdgeSet& edges, int outerPenStyle);
    void DrawFocus(OleColor color, bool polyline, bool aroundCaption);

    // Shapes.
    void BuildRegions();
    void CutCorners(gdi::HRGN region, bool left, bool right, int w, int h) const;
    void MakePictureRegion(int width, int height, gdi::HRGN region);
    void FitPicture(int boxWidth, int boxHeight, int& outWidth, int& outHeight) const;
    void DeleteClipRegions();

    // Picture and caption.
    void CalcLayout(bool buildMask);
    void UpdateResource(std::string_view resource);
    void DrawCaption(OleColor face, OleColor disabledColor, bool pushedOffset, bool noEngrave);
    void DrawPicture(gdi::RECT rect);
    void DrawTransparentBitmap(gdi::HDC target, gdi::RECT dest, gdi::HBITMAP bitmap, gdi::RECT src, int w, int h);

    // The control's own window: its device context kept at the window's size, and its place in the
    // container.
    void PrepareWindowSurface();
    gdi::RECT WindowRectInContainer() const;

    // Interaction.
    void RunClick();
    void HoverCheck(std::int16_t button, float x, float y);
    void CheckHoverExit(std::uintptr_t timerId);
    bool OptionToggle(std::int16_t action);
    void LeaveGroupOnEnd();
    void UpdateDisplayAsDefault();
    void ApplyCursor();
    void GrabAccessKeys();

    // Host services.
    void MarkChanged(const char* key);
    void DesignMessage(const QString& text, const QString& title = QString()) const;
    void WriteContainerTag();
    void EnsureArrowNavigation();
    static zqButtons_H* FromIdentity(std::intptr_t identity);
    std::intptr_t Identity() const;

    // Control state.
    QString caption_;
    std::int32_t captionAlign_ = 0;
    std::int32_t captionStyle_ = 0;
    std::int32_t buttonStyle_ = 0;
    std::uint16_t stateFlags_ = 0;
    std::int32_t buttonShape_ = 0;
    bool showFocusRect_ = false;
    OleColor hoverBackColor_ = 0;
    OleColor hoverForeColor_ = 0;
    std::int32_t hoverColorLocks_ = 0;
    std::int32_t gradientMode_ = 0;
    OleColor gradientColor_ = 0;
    std::int32_t mode_ = 0;
    bool value_ = false;
    std::int32_t customClick_ = 0;
    PictureRef picture_;
    std::int32_t pictureAlign_ = 0;
    std::int16_t picturePixelSize_ = 0;
    int pictureWidth_ = 0;
    int pictureHeight_ = 0;
    bool pictureIsIcon_ = false;
    bool delayDrawing_ = false;
    OleColor backColor_ = 0;
    std::int16_t lastMouseButton_ = 0;
    bool pointerOver_ = false;
    // Where the window system gives no global pointer position: whether the last mouse move was on the
    // control, until a leave event says the pointer went.
    bool pointerInside_ = false;
    OleColor containerBackColor_ = 0;
    bool pressed_ = false;
    DerivedColors faceColors_;

    // Window state (the control's own window).
    OleColor foreColor_ = kButtonText;
    std::int16_t mousePointer_ = 0;
    PictureRef mouseIcon_;
    QString tag_;
    QString accessKey_;
    int accessShortcut_ = 0;
    int defaultShortcuts_[2] = {0, 0};
    int cancelShortcut_ = 0;

    // Host state.
    bool userMode_ = true;
    QString displayName_;
    bool displayAsDefault_ = false;
    bool default_ = false;
    bool cancel_ = false;
    bool clickAfterRelease_ = false;
    bool inPaint_ = false;

    QMetaObject::Connection focusWatch_;
    int redrawCount_ = 0;

    // Drawing state.
    gdi::HDC canvasDC_;
    gdi::HBITMAP canvasBitmap_;
    gdi::HGDIOBJ initialBitmap_;
    gdi::HGDIOBJ initialPen_;
    gdi::HGDIOBJ initialBrush_;
    gdi::HGDIOBJ initialFont_;
    bool fontSelected_ = false;
    gdi::HRGN outerClipRegion_;
    gdi::HRGN innerClipRegion_;
    int bottomLeftX_ = 0;
    int topRightX_ = 0;
    gdi::RECT captionRect_;
    gdi::RECT pictureRect_;
    std::string captionText_;     // the caption as drawn: "||" as CR LF, 8-bit
    gdi::HBITMAP pictureBitmap_;  // the picture as a platform bitmap (bitmaps)
    gdi::HICON pictureIcon_;      // the picture as a platform icon (icons)
    gdi::HBITMAP pictureMask_;
    int maskWidth_ = 0;
    int maskHeight_ = 0;
};

}  // namespace corvane::buttons
