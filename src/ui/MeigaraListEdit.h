#pragma once
// TF_MeigaraListEdit: the watch-list editor, a modal window with the three-column combo grid
// (code, market, name) and its menu. It neither reads nor writes the watch list yet.
#include <QDialog>

class QMenuBar;
class QStatusBar;
class TComboGrid;

class TF_MeigaraListEdit : public QDialog {
    Q_OBJECT
public:
    explicit TF_MeigaraListEdit(QWidget* parent = nullptr);
    ~TF_MeigaraListEdit() override;

    TComboGrid* ComboGrid1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QMenuBar* MainMenu1 = nullptr;

    // "閉じる(&C)": ends the modal show with the result OK.
    void C1Click();
};

extern TF_MeigaraListEdit* F_MeigaraListEdit;
