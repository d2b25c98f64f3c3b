#include "ui/CmbInplace.h"

#include <algorithm>
#include <vector>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFocusRect>
#include <QValidator>

#include "common/Codec.h"

namespace {

// Keeps the editor's text within a number of Shift-JIS bytes. A text that was already longer
// when it was loaded may still shrink.
class Cp932LengthValidator : public QValidator {
public:
    Cp932LengthValidator(int limit, size_t loaded, QObject* parent)
        : QValidator(parent), limit_(static_cast<size_t>(limit)), loaded_(loaded) {}
    State validate(QString& input, int&) const override {
        size_t bytes = kestrel::Utf8ToCp932(input.toStdString()).size();
        return bytes <= std::max(limit_, loaded_) ? Acceptable : Invalid;
    }

private:
    size_t limit_;
    size_t loaded_;
};

bool IsInputMaskMeta(char c) {
    return std::string_view("AaNnXx90Dd#HhBb><![]{}\\").find(c) != std::string_view::npos;
}

}  // namespace

QString EditMaskToInputMask(std::string_view mask) {
    if (mask.empty()) return {};
    // Fields: the mask, whether literals are kept in the text, the blank character.
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < mask.size(); ++i) {
        if (mask[i] == '\\' && i + 1 < mask.size()) {
            fields.back() += mask.substr(i, 2);
            ++i;
        } else if (mask[i] == ';') {
            fields.emplace_back();
        } else {
            fields.back() += mask[i];
        }
    }
    const std::string& in = fields[0];
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        switch (c) {
            case '!':
                break;  // leading-blank handling has no counterpart; the mask is the same
            case '>':
                out += '>';
                break;
            case '<':
                if (i + 1 < in.size() && in[i + 1] == '>') {
                    out += '!';
                    ++i;
                } else {
                    out += '<';
                }
                break;
            case '\\':
                if (i + 1 < in.size()) {
                    out += '\\';
                    out += in[++i];
                }
                break;
            case 'L':
                out += 'A';
                break;
            case 'l':
                out += 'a';
                break;
            case 'A':
                out += 'N';
                break;
            case 'a':
                out += 'n';
                break;
            case 'C':
                out += 'X';
                break;
            case 'c':
                out += 'x';
                break;
            case '0':
                out += '9';
                break;
            case '9':
                out += '0';
                break;
            case '#':
                out += '#';
                break;
            case '_':
                out += ' ';
                break;
            default:
                if (IsInputMaskMeta(c)) out += '\\';
                out += c;
                break;
        }
    }
    char blank = fields.size() > 2 && !fields[2].empty() ? fields[2][0] : '_';
    return QString::fromStdString(out + ';' + blank);
}

// ---- drop-down list ----------------------------------------------------------------------

TInplaceListBox::TInplaceListBox(TComboInplaceEdit* editor) : QListWidget(editor), editor_(editor) {
    // A pop-up of its own that may reach beyond the grid, and never takes the activation
    // from the window, so that the editor keeps the keyboard.
    setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    resize(width(), TComboInplaceEdit::kListHeight);
    hide();
}

void TInplaceListBox::CopySelection() {
    QListWidgetItem* item = currentItem();
    if (!item || !item->isSelected()) return;
    editor_->setText(item->text());
}

void TInplaceListBox::mousePressEvent(QMouseEvent* event) {
    int before = currentRow();
    QListWidget::mousePressEvent(event);
    if (currentRow() != before && OnClick) OnClick();
}

void TInplaceListBox::mouseReleaseEvent(QMouseEvent* event) {
    QListWidget::mouseReleaseEvent(event);
    CopySelection();
    editor_->HideList();
}

void TInplaceListBox::keyPressEvent(QKeyEvent* event) {
    int before = currentRow();
    QListWidget::keyPressEvent(event);
    if (currentRow() != before && OnClick) OnClick();
}

void TInplaceListBox::keyReleaseEvent(QKeyEvent* event) {
    QListWidget::keyReleaseEvent(event);
    CopySelection();
}

// ---- editor ------------------------------------------------------------------------------

TComboInplaceEdit::TComboInplaceEdit(TInplaceEditHost* host)
    : QLineEdit(host->EditorParent()), grid_(host) {
    setFrame(false);
    setMouseTracking(true);
    hide();
}

TComboInplaceEdit::~TComboInplaceEdit() = default;

int TComboInplaceEdit::ArrowWidth() {
    static const int width = QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    return width;
}

void TComboInplaceEdit::SetCellKind(const TCellKind* kind) {
    if (!kind) {
        cellKind_.CellType = ctText;
    } else {
        cellKind_.Assign(*kind);
    }
    if (IsList()) {
        if (!listBox_) {
            listBox_ = new TInplaceListBox(this);
            listBox_->OnClick = [host = grid_] { host->EditorListPicked(); };
        }
        listBox_->clear();
        listBox_->resize(cellKind_.DropDownWidth, kListHeight);
        for (const TCellItem& entry : cellKind_.ItemList) {
            auto* item = new QListWidgetItem(QString::fromStdString(entry.Text), listBox_);
            item->setData(Qt::UserRole, entry.Value);
        }
    } else {
        HideList();
        setTextMargins(0, 0, 0, 0);
    }
    update();
}

void TComboInplaceEdit::SetEditMask(const std::string& mask) {
    editMask_ = mask;
    setInputMask(EditMaskToInputMask(mask));
}

void TComboInplaceEdit::SetMaxLength(int limit) {
    maxLength_ = limit;
    // Counted in Shift-JIS bytes like the texts' files; a text longer than the limit when it is
    // loaded is not cut.
    if (QValidator* old = const_cast<QValidator*>(validator())) {
        setValidator(nullptr);
        old->deleteLater();  // a child of this editor
    }
    if (limit > 0) {
        size_t loaded = kestrel::Utf8ToCp932(grid_->EditedCellText()).size();
        setValidator(new Cp932LengthValidator(limit, loaded, this));
    }
}

bool TComboInplaceEdit::ListVisible() const { return listBox_ && listBox_->isVisible(); }

void TComboInplaceEdit::HideList() {
    if (ListVisible()) {
        listBox_->hide();
        update();
    }
}

void TComboInplaceEdit::ToggleList() {
    if (!listBox_) return;
    if (!listBox_->isVisible()) {
        if (listBox_->count() > 0) {
            listBox_->setCurrentRow(0);
            int match = -1;
            for (int i = 0; i < listBox_->count(); ++i) {
                if (listBox_->item(i)->text() == text()) {
                    match = i;
                    break;
                }
            }
            listBox_->setCurrentRow(match);
            if (match < 0) listBox_->clearSelection();
        }
        int w = std::max(cellKind_.DropDownWidth, width());
        listBox_->resize(w, kListHeight);
        QPoint bottomRight = mapToGlobal(QPoint(width(), height()));
        listBox_->move(bottomRight.x() - w, bottomRight.y());
        selectAll();
        listBox_->show();
    } else {
        listBox_->hide();
    }
    update();
}

void TComboInplaceEdit::SetTextArea() {
    if (!IsList()) return;
    setTextMargins(2, 2, ArrowWidth() + 2, 0);
}

QRect TComboInplaceEdit::TextArea() const {
    QMargins m = textMargins();
    return QRect(QPoint(m.left(), m.top()), QPoint(width() - m.right(), height() - m.bottom()));
}

void TComboInplaceEdit::DrawArrow(QPainter& p, bool pressed) {
    int w = width(), h = height(), b = ArrowWidth();
    QStyleOptionButton opt;
    opt.initFrom(this);
    opt.rect = QRect(w - b, 0, b, h - 1);
    opt.state = QStyle::State_Enabled | (pressed ? QStyle::State_Sunken : QStyle::State_Raised);
    style()->drawControl(QStyle::CE_PushButtonBevel, &opt, &p, this);
    QColor ink = palette().color(QPalette::ButtonText);
    for (int k = 0; k < 4; ++k)
        p.fillRect(QRect(w - b / 2 - 4 + k, h / 2 - 2 + k, 7 - 2 * k, 1), ink);
    if (pressed) {
        QStyleOptionFocusRect fo;
        fo.initFrom(this);
        fo.rect = QRect(w - b, 0, b, h);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &fo, &p, this);
    }
}

void TComboInplaceEdit::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    if (!IsList()) return;
    QPainter p(this);
    DrawArrow(p, arrowPressed_);
}

void TComboInplaceEdit::mousePressEvent(QMouseEvent* event) {
    int x = event->position().toPoint().x();
    arrowDownX_ = -1;
    if (OnArrow(x)) {
        arrowPressed_ = true;
        arrowDownX_ = x;
        update();
    }
    QLineEdit::mousePressEvent(event);
}

void TComboInplaceEdit::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        arrowDownX_ >= 0)
        ToggleList();
    QLineEdit::mouseReleaseEvent(event);
    arrowPressed_ = false;
    arrowDownX_ = -1;
    update();
}

void TComboInplaceEdit::mouseMoveEvent(QMouseEvent* event) {
    setCursor(OnArrow(event->position().toPoint().x()) ? Qt::ArrowCursor : Qt::IBeamCursor);
    QLineEdit::mouseMoveEvent(event);
}

void TComboInplaceEdit::keyPressEvent(QKeyEvent* event) {
    int key = event->key();
    if (IsList() && listBox_) {
        if (key == Qt::Key_Escape) {
            HideList();
            event->accept();
            return;
        }
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            // The list takes the arrows even while it is hidden; the editor keeps the focus.
            int before = listBox_->currentRow();
            int n = listBox_->count();
            int row = key == Qt::Key_Up ? std::max(0, before - 1)
                                        : (before < 0 ? 0 : std::min(n - 1, before + 1));
            if (n > 0) listBox_->setCurrentRow(row);
            if (listBox_->currentRow() != before && listBox_->OnClick) listBox_->OnClick();
            event->accept();
            return;
        }
    }
    switch (key) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            grid_->EditorKey(event);
            event->accept();
            return;
        default:
            QLineEdit::keyPressEvent(event);
    }
}

void TComboInplaceEdit::keyReleaseEvent(QKeyEvent* event) {
    if (IsList() && listBox_ && (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down)) {
        listBox_->CopySelection();
        event->accept();
        return;
    }
    QLineEdit::keyReleaseEvent(event);
}

void TComboInplaceEdit::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    SetTextArea();
}

void TComboInplaceEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    HideList();
}
