// The icon must tell the three states apart on panels that show no text.
#include "platform/linux/TrayIcon.h"

#include <gtest/gtest.h>

namespace vantrel {
namespace {

using platform::tray::renderTrayIcon;
using platform::tray::TrayPixmap;

struct Argb {
    int a, r, g, b;
};

Argb pixel(const TrayPixmap& pixmap, double x, double y) {
    const auto column = static_cast<std::size_t>(x * pixmap.width);
    const auto line = static_cast<std::size_t>(y * pixmap.height);
    const auto* p = &pixmap.argb[(line * static_cast<std::size_t>(pixmap.width) + column) * 4];
    return {p[0], p[1], p[2], p[3]};
}

bool isLight(Argb p) {
    return p.a == 255 && p.r > 180 && p.g > 180 && p.b > 180;
}

bool isDark(Argb p) {
    return p.a == 255 && p.r < 80 && p.g < 80 && p.b < 80;
}

TEST(TrayIcon, ShowsLettersAndTheStateMark) {
    const auto plain = renderTrayIcon("VT");
    const auto filled = renderTrayIcon("VT \u25cf");
    const auto hollow = renderTrayIcon("VT \u25cb");

    for (const auto* icon : {&plain, &filled, &hollow}) {
        for (const auto& pixmap : *icon) {
            SCOPED_TRACE(pixmap.width);
            ASSERT_EQ(pixmap.width, pixmap.height);
            ASSERT_EQ(pixmap.argb.size(),
                      static_cast<std::size_t>(pixmap.width * pixmap.height * 4));
            // Alpha is all or nothing, so straight and premultiplied readings agree.
            for (std::size_t i = 0; i < pixmap.argb.size(); i += 4) {
                const auto* p = &pixmap.argb[i];
                ASSERT_TRUE(p[0] == 255 || (p[0] | p[1] | p[2] | p[3]) == 0);
            }
        }
    }

    for (std::size_t i = 0; i < plain.size(); ++i) {
        SCOPED_TRACE(plain[i].width);
        // The stem of the T is white in every state.
        EXPECT_TRUE(isLight(pixel(filled[i], 0.70, 0.30)));
        EXPECT_TRUE(isLight(pixel(plain[i], 0.70, 0.50)));
        // Running: a green disc under the letters.
        const Argb disc = pixel(filled[i], 0.5, 0.74);
        EXPECT_EQ(disc.a, 255);
        EXPECT_GT(disc.g, 180);
        EXPECT_LT(disc.r, 120);
        // Not running: a light ring with the badge showing through its middle.
        EXPECT_TRUE(isDark(pixel(hollow[i], 0.5, 0.74)));
        EXPECT_TRUE(isLight(pixel(hollow[i], 0.5, 0.74 - 0.13)));
        // Checking: nothing under the letters.
        EXPECT_TRUE(isDark(pixel(plain[i], 0.5, 0.86)));
        EXPECT_NE(filled[i].argb, hollow[i].argb);
    }
}

} // namespace
} // namespace vantrel
