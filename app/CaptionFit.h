#pragma once

#include <QStringList>

class QWidget;

// The width a label, button or check box has for its caption text, in the
// widget's own style; the text is cut where it needs more.
int CaptionRoom(const QWidget* widget);

// Makes every text of texts fit the caption room of widget, taking a pixel at a
// time off its font: the pixel layout was drawn for Tahoma at 96 dpi, and other
// faces (Wine's own Tahoma) or a display at 125 % or 150 % run wider.
void FitCaption(QWidget* widget, const QStringList& texts);

// FitCaption for the current text of every label, button and check box in window.
void FitCaptions(QWidget* window);
