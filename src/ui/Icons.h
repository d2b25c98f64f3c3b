#pragma once
// The tool bar's 16 x 16 pictures, drawn in code so that the program carries no image files of
// anyone else's: an exit door with a left arrow, an open folder, a magnifier over a document.
#include <QIcon>
#include <QImage>

namespace kestrel {

QImage ExitDoorImage();
QImage OpenFolderImage();
QImage ViewerImage();
QIcon IconOf(const QImage& image);

}  // namespace kestrel
