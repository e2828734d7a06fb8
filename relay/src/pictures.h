// The control's two 48 x 48 pictures in 16 colours.
#pragma once

#include <QImage>

namespace kivo {

inline constexpr int kPictureSize = 48;

// The 16-colour palette the pictures use (the standard VGA colours).
QList<QRgb> SixteenColourPalette();

// Shown while the host runs.
const QImage& UserModePicture();
// Shown in the host's design mode.
const QImage& DesignModePicture();

}  // namespace kivo
