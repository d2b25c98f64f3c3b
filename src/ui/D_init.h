#pragma once
// TF_Kestrel2005_Init: the splash window shown while the monitor starts, on top and centred on
// the main window, with the program's picture and a line asking the user to wait.
#include <cstddef>

#include <QDialog>
#include <QImage>

class QLabel;

namespace kestrel {
// Decodes a JPEG with libjpeg; a null image for data that is not a readable JPEG.
QImage DecodeJpeg(const unsigned char* data, size_t size);
// The picture compiled into the program.
QImage SplashPicture();
}  // namespace kestrel

class TF_Kestrel2005_Init : public QDialog {
    Q_OBJECT
public:
    explicit TF_Kestrel2005_Init(QWidget* parent = nullptr);
    ~TF_Kestrel2005_Init() override;

    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;

    // Shows the window centred on `over` (the screen when null) and paints it at once.
    void ShowCentred(QWidget* over);
};
