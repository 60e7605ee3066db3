#pragma once

#include <QFont>

// Tahoma 8 point where it is installed; otherwise the closest narrow sans face,
// so the captions fit the pixel layout of the windows.
QFont StationFont();
