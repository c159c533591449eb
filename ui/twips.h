// The windows are laid out in twips, 1/1440 inch: at 96 dots per inch 15
// twips make one pixel.
#pragma once

#include <QRect>

namespace elutrix::ui {

inline constexpr int twips_per_pixel = 15;

constexpr int px(int twips) { return twips / twips_per_pixel; }

inline QRect twips_rect(int left, int top, int width, int height) {
    return {px(left), px(top), px(width), px(height)};
}

}  // namespace elutrix::ui
