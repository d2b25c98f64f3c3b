#include "ui/MeigaraListEdit.h"

#include <QMenuBar>
#include <QStatusBar>

#include "ui/CmbGrid.h"
#include "ui/GridForms.h"
#include "ui/MainWindow.h"

TF_MeigaraListEdit* F_MeigaraListEdit = nullptr;

TF_MeigaraListEdit::TF_MeigaraListEdit(QWidget* parent) : QDialog(parent) {
    F_MeigaraListEdit = this;
    setObjectName(QStringLiteral("F_MeigaraListEdit"));
    setWindowTitle(QStringLiteral("監視銘柄設定"));
    // The close box only: no minimise, no maximise, no help button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(kestrel::WindowFont(12));
    setModal(true);
    setGeometry(378, 109, 363, 601);

    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    QMenu* f1 = MainMenu1->addMenu(QStringLiteral("ファイル(&F)"));
    f1->setObjectName(QStringLiteral("F1"));
    f1->addAction(QStringLiteral("保存(&S)"))->setObjectName(QStringLiteral("S1"));
    QAction* c1 = f1->addAction(QStringLiteral("閉じる(&C)"));
    c1->setObjectName(QStringLiteral("C1"));
    connect(c1, &QAction::triggered, this, &TF_MeigaraListEdit::C1Click);
    QMenu* n1 = MainMenu1->addMenu(QStringLiteral("編集(&E)"));
    n1->setObjectName(QStringLiteral("N1"));
    n1->addAction(QStringLiteral("ソート(&1)"))->setObjectName(QStringLiteral("N11"));
    MainMenu1->adjustSize();
    const int top = MainMenu1->sizeHint().height();
    MainMenu1->setGeometry(0, 0, width(), top);

    // The client area starts below the menu, as in the designed window.
    ComboGrid1 = new TComboGrid(this);
    ComboGrid1->setObjectName(QStringLiteral("ComboGrid1"));
    ComboGrid1->SetColCount(3);
    ComboGrid1->SetFixedCols(0);
    ComboGrid1->SetFixedRows(1);
    ComboGrid1->SetRowCount(2);
    ComboGrid1->SetDefaultRowHeight(16);
    ComboGrid1->SetOptions(goFixedVertLine | goFixedHorzLine | goVertLine | goHorzLine);
    ComboGrid1->SetColWidths(0, 52);
    ComboGrid1->SetColWidths(1, 59);
    ComboGrid1->SetColWidths(2, 232);
    kestrel::LoadStoredGrid(*ComboGrid1, "ComboGrid1");
    ComboGrid1->setGeometry(4, top + 4, 349, 529);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setGeometry(0, top + 536, 355, 19);
}

TF_MeigaraListEdit::~TF_MeigaraListEdit() {
    if (F_MeigaraListEdit == this) F_MeigaraListEdit = nullptr;
}

void TF_MeigaraListEdit::C1Click() { done(QDialog::Accepted); }
