// Draws the tray icon: a dark rounded square with "VT" in white and, under it,
// a green disc while the API runs or a light ring when it does not. Most panels
// show only the icon, so the icon has to carry the state by itself.
#include "TrayIcon.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace vantrel::platform::tray {
namespace {

enum class Mark { none, filled, hollow };

struct Point {
    double x;
    double y;
};

struct Color {
    double r;
    double g;
    double b;
};

// Dark enough for white letters, and distinct on light and dark panels alike.
constexpr Color badgeColor{0x26, 0x32, 0x38};
constexpr Color letterColor{0xff, 0xff, 0xff};
constexpr Color runningColor{0x4c, 0xd9, 0x64};
constexpr Color stoppedColor{0xe0, 0xe0, 0xe0};

// Square only: some panels ignore icons of any other shape.
constexpr int iconSizes[] = {16, 22, 24, 32, 48};
constexpr int samplesPerSide = 4;
constexpr double cornerRadius = 0.2;
constexpr double halfStroke = 0.065;
constexpr Point markCentre{0.5, 0.74};
constexpr double markRadius = 0.17;
constexpr double ringWidth = 0.085;

Mark markOf(std::string_view text) {
    if (text.ends_with("\u25cf")) {
        return Mark::filled;
    }
    if (text.ends_with("\u25cb")) {
        return Mark::hollow;
    }
    return Mark::none;
}

double distanceToSegment(Point p, Point a, Point b) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double t =
        std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

bool insideBadge(Point p) {
    const double dx = std::max(std::abs(p.x - 0.5) - (0.5 - cornerRadius), 0.0);
    const double dy = std::max(std::abs(p.y - 0.5) - (0.5 - cornerRadius), 0.0);
    return dx * dx + dy * dy <= cornerRadius * cornerRadius;
}

// "V" and "T" as strokes in the unit square; letters sit higher when a mark
// needs the room below them.
bool onLetters(Point p, Mark mark) {
    const double top = (mark == Mark::none ? 0.30 : 0.12) + halfStroke;
    const double bottom = top + 0.38 - 2 * halfStroke;
    const Point strokes[][2] = {
        {{0.13, top}, {0.30, bottom}}, // V
        {{0.47, top}, {0.30, bottom}},
        {{0.54, top}, {0.86, top}}, // T
        {{0.70, top}, {0.70, bottom}},
    };
    return std::any_of(std::begin(strokes), std::end(strokes), [p](const auto& stroke) {
        return distanceToSegment(p, stroke[0], stroke[1]) <= halfStroke;
    });
}

bool onMark(Point p, Mark mark) {
    const double d = std::hypot(p.x - markCentre.x, p.y - markCentre.y);
    switch (mark) {
    case Mark::filled:
        return d <= markRadius;
    case Mark::hollow:
        return d <= markRadius && d >= markRadius - ringWidth;
    case Mark::none:
        break;
    }
    return false;
}

Color mix(Color from, Color to, double amount) {
    return {from.r + (to.r - from.r) * amount, from.g + (to.g - from.g) * amount,
            from.b + (to.b - from.b) * amount};
}

std::uint8_t channel(double value) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(value, 0.0, 255.0)));
}

TrayPixmap render(int size, Mark mark) {
    TrayPixmap pixmap;
    pixmap.width = size;
    pixmap.height = size;
    pixmap.argb.resize(static_cast<std::size_t>(size) * static_cast<std::size_t>(size) * 4);
    const Color markColor = mark == Mark::filled ? runningColor : stoppedColor;
    constexpr double samples = samplesPerSide * samplesPerSide;
    auto* out = pixmap.argb.data();
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x, out += 4) {
            int badge = 0;
            int letters = 0;
            int marks = 0;
            for (int sy = 0; sy < samplesPerSide; ++sy) {
                for (int sx = 0; sx < samplesPerSide; ++sx) {
                    const Point p{(x + (sx + 0.5) / samplesPerSide) / size,
                                  (y + (sy + 0.5) / samplesPerSide) / size};
                    badge += insideBadge(p) ? 1 : 0;
                    letters += onLetters(p, mark) ? 1 : 0;
                    marks += onMark(p, mark) ? 1 : 0;
                }
            }
            // The outline is either fully opaque or fully clear, so hosts that
            // premultiply alpha and hosts that do not draw the same picture;
            // smoothing happens only inside, against the badge colour.
            if (badge * 2 < samples) {
                std::fill(out, out + 4, std::uint8_t{0});
                continue;
            }
            Color color = mix(badgeColor, letterColor, letters / samples);
            color = mix(color, markColor, marks / samples);
            out[0] = 0xff;
            out[1] = channel(color.r);
            out[2] = channel(color.g);
            out[3] = channel(color.b);
        }
    }
    return pixmap;
}

} // namespace

std::vector<TrayPixmap> renderTrayIcon(const std::string& text) {
    const Mark mark = markOf(text);
    std::vector<TrayPixmap> pixmaps;
    for (int size : iconSizes) {
        pixmaps.push_back(render(size, mark));
    }
    return pixmaps;
}

} // namespace vantrel::platform::tray
