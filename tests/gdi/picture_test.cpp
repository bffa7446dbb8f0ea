// Pictures from files, icons with alpha, and their drawing.
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "canvas_fixture.h"
#include "platform/gdi/get_object.h"
#include "platform/gdi/icon.h"
#include "platform/gdi/picture.h"

namespace corvane::gdi {
namespace {

QImage sample() {
    QImage image(5, 4, QImage::Format_ARGB32);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) image.setPixel(x, y, qRgba(x * 50, y * 60, 200, x == 0 ? 0 : (x == 1 ? 128 : 255)));
    return image;
}

TEST(GdiPicture, BitmapsLoadFromBmpPngAndJpegWithPixelBits) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QImage opaque = sample().convertToFormat(QImage::Format_RGB32);
    for (const char* format : {"bmp", "png", "jpg"}) {
        const QString path = dir.filePath(QStringLiteral("p.") + format);
        ASSERT_TRUE(opaque.save(path, format, 100)) << format;
        const Picture p = LoadPictureFile(path);
        ASSERT_TRUE(p.bitmap) << format;
        EXPECT_FALSE(p.icon);
        BITMAP info;
        ASSERT_EQ(GetObjectA(p.bitmap, sizeof info, &info), static_cast<int>(sizeof info));
        EXPECT_EQ(info.bmWidth, 5);
        EXPECT_EQ(info.bmHeight, 4);
        EXPECT_NE(info.bmBits, nullptr);  // a picture, unlike a context bitmap
        if (std::string(format) != "jpg") {
            EXPECT_EQ(BitmapImage(p.bitmap), opaque) << format;
        }
        EXPECT_EQ(DeleteObject(p.bitmap), TRUE);
    }
    const Picture missing = LoadPictureFile(dir.filePath("none.png"));
    EXPECT_FALSE(missing.bitmap);
    EXPECT_FALSE(missing.icon);
    QFile junk(dir.filePath("junk.png"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("\x89PNG not really");
    junk.close();
    EXPECT_FALSE(LoadPictureFile(junk.fileName()).bitmap);
}

TEST(GdiPicture, IconsKeepAlphaAndBlendWhenDrawn) {
    QTemporaryDir dir;
    const QString path = dir.filePath("i.ico");
    ASSERT_TRUE(sample().save(path, "ico"));
    const Picture p = LoadPictureFile(path);
    ASSERT_TRUE(p.icon);
    EXPECT_FALSE(p.bitmap);

    testing::Canvas c(7, 6, RGB(10, 20, 30));
    ASSERT_EQ(DrawIconEx(c.dc(), 1, 1, p.icon, 0, 0, 0, nullptr, DI_NORMAL), TRUE);
    const QImage icon = sample();
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            const QRgb s = icon.pixel(x, y);
            const unsigned a = static_cast<unsigned>(qAlpha(s));
            const auto mix = [a](int src, int dst) {
                return static_cast<int>(
                    (static_cast<unsigned>(src) * a + static_cast<unsigned>(dst) * (255 - a) + 127) / 255);
            };
            EXPECT_EQ(c.at(x + 1, y + 1), RGB(mix(qRed(s), 10), mix(qGreen(s), 20), mix(qBlue(s), 30)))
                << x << "," << y;
        }
    EXPECT_EQ(c.at(0, 0), RGB(10, 20, 30));

    ICONINFO info;
    ASSERT_EQ(GetIconInfo(p.icon, &info), TRUE);
    BITMAP colour, mask;
    GetObjectA(info.hbmColor, sizeof colour, &colour);
    GetObjectA(info.hbmMask, sizeof mask, &mask);
    EXPECT_EQ(colour.bmWidth, 5);
    EXPECT_EQ(colour.bmBitsPixel, 32);
    EXPECT_EQ(mask.bmBitsPixel, 1);
    const QImage m = BitmapImage(info.hbmMask);
    EXPECT_EQ(m.pixel(0, 0) & 0xFFFFFF, 0xFFFFFFu);  // fully transparent column
    EXPECT_EQ(m.pixel(1, 0) & 0xFFFFFF, 0u);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);

    // Scaled drawing and the mask-only look.
    testing::Canvas big(10, 8);
    DrawIconEx(big.dc(), 0, 0, p.icon, 10, 8, 0, nullptr, DI_MASK);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x) EXPECT_EQ(big.at(x, y), x < 2 ? 0xFFFFFFu : 0u) << x << "," << y;

    // A request far beyond the bitmap only visits the visible part.
    EXPECT_EQ(DrawIconEx(big.dc(), -5, -5, p.icon, 2000000000, 2000000000, 0, nullptr, DI_IMAGE), TRUE);
    EXPECT_EQ(DestroyIcon(p.icon), TRUE);
    EXPECT_EQ(DestroyIcon(p.icon), FALSE);
    EXPECT_EQ(DrawIconEx(c.dc(), 0, 0, p.icon, 0, 0, 0, nullptr, DI_NORMAL), FALSE);
}

}  // namespace
}  // namespace corvane::gdi
