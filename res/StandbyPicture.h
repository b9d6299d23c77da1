#pragma once
// The built-in stand-by picture ("No camera"), a 320x240 24-bit BMP file image.

#include <QByteArray>

const QByteArray& StandbyPictureBmp();
