#include "ui/D_init.h"

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>

#include <jpeglib.h>

#include "ui/MainWindow.h"

// The bytes of assets/splash.jpg, compiled in by the build.
extern const unsigned char kSplashJpeg[];
extern const size_t kSplashJpegSize;

namespace {

struct ErrorManager {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
};

// libjpeg's default handler ends the process; ours returns to the decoder's caller.
void ErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(err->Jump, 1);
}

void QuietMessage(j_common_ptr) {}

// Kept free of objects with destructors between setjmp and the jumps into it.
bool DecodeRgb(const unsigned char* data, size_t size, std::vector<unsigned char>* rgb, int* width,
               int* height) {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.Pub);
    err.Pub.error_exit = ErrorExit;
    err.Pub.output_message = QuietMessage;
    if (setjmp(err.Jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    *width = static_cast<int>(cinfo.output_width);
    *height = static_cast<int>(cinfo.output_height);
    const size_t stride = size_t(cinfo.output_width) * 3;
    rgb->assign(stride * cinfo.output_height, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = rgb->data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

}  // namespace

namespace kestrel {

QImage DecodeJpeg(const unsigned char* data, size_t size) {
    if (!data || size == 0) return {};
    std::vector<unsigned char> rgb;
    int width = 0;
    int height = 0;
    if (!DecodeRgb(data, size, &rgb, &width, &height) || width <= 0 || height <= 0) return {};
    QImage view(rgb.data(), width, height, width * 3, QImage::Format_RGB888);
    return view.copy();
}

QImage SplashPicture() { return DecodeJpeg(kSplashJpeg, kSplashJpegSize); }

}  // namespace kestrel

TF_Kestrel2005_Init::TF_Kestrel2005_Init(QWidget* parent) : QDialog(parent) {
    // A second start of the program looks the running one up by this name.
    setObjectName(QStringLiteral("TF_Kestrel2005_Init"));
    setWindowTitle(QStringLiteral("初期化中･･･"));
    // A title bar without system menu or close button, above every other window.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowStaysOnTopHint);
    setFixedSize(412, 258);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(238, 238, 238));
    setPalette(pal);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(116, 4, 181, 205);
    const QImage picture = kestrel::SplashPicture();
    if (!picture.isNull()) Image1->setPixmap(QPixmap::fromImage(picture));

    Label1 = new QLabel(QStringLiteral("初期化中です。しばらくお待ちください。"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(kestrel::WindowFont(21));
    Label1->move(36, 216);
    Label1->adjustSize();
}

TF_Kestrel2005_Init::~TF_Kestrel2005_Init() = default;

void TF_Kestrel2005_Init::ShowCentred(QWidget* over) {
    QRect area;
    if (over)
        area = over->frameGeometry();
    else if (QScreen* screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    // Shown first, so that the frame's size is known when placing it.
    show();
    QRect r(QPoint(0, 0), frameGeometry().size());
    r.moveCenter(area.center());
    move(r.topLeft());
    raise();
    repaint();
}
