#pragma once
// The combo grid's in-place editor: a masked line editor for text columns, with an arrow
// button and a drop-down list of the column's entries for list columns.
#include <functional>
#include <string>
#include <string_view>

#include <QLineEdit>
#include <QListWidget>
#include <QRect>

#include "ui/CellKind.h"

class QKeyEvent;
class QWidget;
class TComboInplaceEdit;

// What the in-place editor needs of the grid it edits in, so that neither reaches into the
// other: the widget it lives on, the text of the cell being edited, and where its list picks
// and the keys it does not keep go.
class TInplaceEditHost {
public:
    virtual ~TInplaceEditHost() = default;
    virtual QWidget* EditorParent() = 0;
    virtual std::string EditedCellText() const = 0;
    // An entry of the drop-down list was picked.
    virtual void EditorListPicked() = 0;
    // Escape, Return, Enter, the arrows up and down and the page keys: the grid's to handle.
    virtual void EditorKey(QKeyEvent* event) = 0;
};

// An edit mask of the window descriptions ("!000-0000;1;_") in QLineEdit's input mask syntax.
QString EditMaskToInputMask(std::string_view mask);

// The drop-down list of a list column: a free-floating pop-up that never takes the activation.
class TInplaceListBox : public QListWidget {
    Q_OBJECT

public:
    explicit TInplaceListBox(TComboInplaceEdit* editor);

    // Writes the selected entry's text into the editor; nothing when no entry is selected.
    void CopySelection();
    // The list's selection was changed by the user (mouse or keys).
    std::function<void()> OnClick;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    TComboInplaceEdit* editor_;
};

class TComboInplaceEdit : public QLineEdit {
    Q_OBJECT

public:
    static constexpr int kListHeight = 97;

    explicit TComboInplaceEdit(TInplaceEditHost* host);
    ~TComboInplaceEdit() override;

    const TCellKind& CellKind() const { return cellKind_; }
    // None makes a plain text editor; a description is copied.
    void SetCellKind(const TCellKind* kind);
    const std::string& EditMask() const { return editMask_; }
    void SetEditMask(const std::string& mask);
    int MaxLength() const { return maxLength_; }
    // Largest text length in Shift-JIS bytes; 0 is no limit.
    void SetMaxLength(int limit);

    TInplaceListBox* ListBox() const { return listBox_; }
    bool ListVisible() const;
    void HideList();
    void ToggleList();
    int ArrowDownX() const { return arrowDownX_; }
    // Width of the arrow button of a list editor.
    static int ArrowWidth();
    // Keeps typed text clear of the arrow button (list editors only).
    void SetTextArea();
    QRect TextArea() const;

    TInplaceEditHost* Host() const { return grid_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    bool IsList() const { return cellKind_.CellType == ctList; }
    void DrawArrow(QPainter& p, bool pressed);
    bool OnArrow(int x) const { return IsList() && x > width() - ArrowWidth(); }

    TInplaceEditHost* grid_;
    TCellKind cellKind_;
    TInplaceListBox* listBox_ = nullptr;  // owned as a child window of the editor
    std::string editMask_;
    int maxLength_ = 0;
    int arrowDownX_ = -1;
    bool arrowPressed_ = false;
};
