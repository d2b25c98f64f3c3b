#include "ui/MeigaraListEdit.h"

#include <algorithm>
#include <exception>
#include <map>
#include <string_view>

#include <QKeySequence>
#include <QMenuBar>
#include <QStatusBar>

#include "common/Codec.h"
#include "common/TextFile.h"
#include "refdata/MeigaraInfo.h"
#include "ui/CmbGrid.h"
#include "ui/Dialogs.h"
#include "ui/GridForms.h"
#include "ui/MainWindow.h"

TF_MeigaraListEdit* F_MeigaraListEdit = nullptr;

namespace {
constexpr size_t kMarkets = sizeof MarketNames / sizeof MarketNames[0];

std::string Trimmed(const std::string& text) {
    return QString::fromStdString(text).trimmed().toStdString();
}

// The market a topic suffix stands for: the first market with that suffix. No suffix (the
// markets addressed by the bare code) shows as an empty market, and a suffix of no market in
// the table as itself, so that it is written back as it was.
std::string MarketOfSuffix(const std::string& suffix) {
    if (suffix.empty()) return {};
    for (size_t i = 0; i < kMarkets; ++i)
        if (suffix == MarketSuffixes[i]) return MarketNames[i];
    return suffix;
}

// The suffix a market cell gives, or false when the cell names no market.
bool SuffixOfMarket(const std::string& market, std::string& suffix) {
    suffix.clear();
    if (market.empty()) return true;
    for (size_t i = 0; i < kMarkets; ++i)
        if (market == MarketNames[i]) {
            suffix = MarketSuffixes[i];
            return true;
        }
    if (market.front() != '.') return false;
    suffix = market;  // kept as the file had it
    return true;
}
}  // namespace

TF_MeigaraListEdit::TF_MeigaraListEdit(QWidget* parent)
    : TF_MeigaraListEdit(TF_MeigaraListEditDeps{}, parent) {}

TF_MeigaraListEdit::TF_MeigaraListEdit(TF_MeigaraListEditDeps deps, QWidget* parent)
    : QDialog(parent), Deps(std::move(deps)) {
    F_MeigaraListEdit = this;
    if (!Deps.Dialogs) {
        OwnDialogs = std::make_unique<CQtDialogs>();
        Deps.Dialogs = OwnDialogs.get();
    }
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
    auto item = [this](QMenu* menu, const char* name, const char* caption,
                       std::function<void()> handler, QKeySequence keys) {
        QAction* a = menu->addAction(QString::fromUtf8(caption));
        a->setObjectName(QString::fromUtf8(name));
        a->setShortcut(keys);
        connect(a, &QAction::triggered, this, [this, handler] { Guarded(handler); });
    };
    QMenu* f1 = MainMenu1->addMenu(QStringLiteral("ファイル(&F)"));
    f1->setObjectName(QStringLiteral("F1"));
    item(
        f1, "S1", "保存(&S)", [this] { S1Click(); }, QKeySequence(QKeySequence::Save));
    QAction* c1 = f1->addAction(QStringLiteral("閉じる(&C)"));
    c1->setObjectName(QStringLiteral("C1"));
    connect(c1, &QAction::triggered, this, &TF_MeigaraListEdit::C1Click);
    QMenu* n1 = MainMenu1->addMenu(QStringLiteral("編集(&E)"));
    n1->setObjectName(QStringLiteral("N1"));
    item(
        n1, "N11", "ソート(&1)", [this] { N11Click(); }, QKeySequence());
    item(
        n1, "N12", "行の追加(&2)", [this] { N12Click(); }, QKeySequence(Qt::CTRL | Qt::Key_Insert));
    item(
        n1, "N13", "行の削除(&3)", [this] { N13Click(); }, QKeySequence(Qt::CTRL | Qt::Key_Delete));
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
    // Editing on: the code is typed in, the market chosen from the column's list.
    ComboGrid1->SetOptions(goFixedVertLine | goFixedHorzLine | goVertLine | goHorzLine | goEditing);
    ComboGrid1->SetColWidths(0, 52);
    ComboGrid1->SetColWidths(1, 59);
    ComboGrid1->SetColWidths(2, 232);
    kestrel::LoadStoredGrid(*ComboGrid1, "ComboGrid1");
    // The name comes from the master list, never from the keyboard.
    ComboGrid1->GetCellKind(kColName).Editable = false;
    ComboGrid1->setGeometry(4, top + 4, 349, 529);
    HookEditor();

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setGeometry(0, top + 536, 355, 19);
}

TF_MeigaraListEdit::~TF_MeigaraListEdit() {
    if (F_MeigaraListEdit == this) F_MeigaraListEdit = nullptr;
}

void TF_MeigaraListEdit::HookEditor() {
    // The grid makes its in-place editor on first use; made now, a typed code can look its
    // name up as it changes. The grid takes each change into the cell before this runs.
    ComboGrid1->SetCurrentCell(kColCode, 1);
    ComboGrid1->ShowEditor();
    ComboGrid1->HideEditor();
    if (TComboInplaceEdit* editor = ComboGrid1->InplaceEditor())
        connect(editor, &QLineEdit::textChanged, this, [this] {
            if (ComboGrid1->EditorMode() && ComboGrid1->Col() == kColCode)
                RefreshName(ComboGrid1->Row());
        });
}

std::string TF_MeigaraListEdit::Path() const {
    return Deps.Dir.empty() ? kFileName : Deps.Dir + "/" + kFileName;
}

void TF_MeigaraListEdit::Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        Deps.Dialogs->ShowMessage(e.what());
    }
}

void TF_MeigaraListEdit::showEvent(QShowEvent* event) {
    // Each opening shows the file as it is: what was left unsaved last time is gone.
    Guarded([this] { LoadWatchList(); });
    QDialog::showEvent(event);
}

const CMeigaraInfo* TF_MeigaraListEdit::Find(const std::string& code) const {
    const CMeigaraInfoList* master = Deps.MasterList ? Deps.MasterList() : nullptr;
    if (!master || code.empty()) return nullptr;
    // The lookup takes the first four characters; only the whole code is this issue's.
    const CMeigaraInfo* info = master->FindByCode(code);
    return info && info->Code == code ? info : nullptr;
}

std::string TF_MeigaraListEdit::NameOf(const std::string& code) const {
    const CMeigaraInfo* info = Find(code);
    return info ? info->GetName() : std::string();
}

void TF_MeigaraListEdit::SetRow(int row, const std::string& code, const std::string& market) {
    ComboGrid1->SetCells(kColCode, row, code);
    ComboGrid1->SetCells(kColMarket, row, market);
    RefreshName(row);
}

void TF_MeigaraListEdit::RefreshName(int row) {
    ComboGrid1->SetCells(kColName, row, NameOf(Trimmed(ComboGrid1->Cells(kColCode, row))));
}

void TF_MeigaraListEdit::LoadWatchList() {
    ComboGrid1->HideEditor();
    std::vector<std::string> lines;
    kestrel::TextFileReport report;
    const bool read = kestrel::ReadLines(Path(), lines, kestrel::kMaxListFileBytes, report);
    ComboGrid1->SetRowCount(1 + std::max<int>(1, static_cast<int>(lines.size())));
    for (int row = 1; row < ComboGrid1->RowCount(); ++row) SetRow(row, "", "");
    ComboGrid1->SetCurrentCell(kColCode, 1);
    StatusBar1->clearMessage();
    if (!read) {
        if (!report.Refusal.Missing)
            Deps.Dialogs->ShowMessage(std::string("【") + kFileName +
                                      "】を読み込めません: " + report.Refusal.Text);
        return;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string code = kestrel::FirstChars(lines[i], 4);
        SetRow(static_cast<int>(i) + 1, code, MarketOfSuffix(lines[i].substr(code.size())));
    }
}

std::string TF_MeigaraListEdit::RowTopic(int row) const {
    std::string suffix;
    SuffixOfMarket(Trimmed(ComboGrid1->Cells(kColMarket, row)), suffix);
    return Trimmed(ComboGrid1->Cells(kColCode, row)) + suffix;
}

std::vector<std::string> TF_MeigaraListEdit::CheckedTopics(
    std::vector<std::string>* refused) const {
    std::vector<std::string> topics;
    std::map<std::string, int> firstRow;  // code -> the row that has it
    for (int row = 1; row < ComboGrid1->RowCount(); ++row) {
        const std::string code = Trimmed(ComboGrid1->Cells(kColCode, row));
        const std::string market = Trimmed(ComboGrid1->Cells(kColMarket, row));
        if (code.empty() && market.empty()) continue;  // a row not filled in
        std::string suffix, why;
        const std::string where =
            std::to_string(row) + " 行目 " + (code.empty() ? "（コードなし）" : code);
        if (code.empty())
            why = "コードがありません";
        else if (!Find(code))
            why = "銘柄情報にないコードです";
        else if (auto it = firstRow.find(code); it != firstRow.end())
            why = std::to_string(it->second) + " 行目と重複しています";
        else if (!SuffixOfMarket(market, suffix))
            why = "市場「" + market + "」が分かりません";
        if (!why.empty()) {
            if (refused) refused->push_back(where + ": " + why);
            continue;
        }
        firstRow.emplace(code, row);
        topics.push_back(code + suffix);
    }
    return topics;
}

bool TF_MeigaraListEdit::S1Click() {
    ComboGrid1->HideEditor();
    std::vector<std::string> refused;
    const std::vector<std::string> topics = CheckedTopics(&refused);
    if (!refused.empty()) {
        std::string text = "次の行は保存しません。";
        for (const std::string& r : refused) text += "\n" + r;
        Deps.Dialogs->ShowMessage(text);
    }
    if (!Deps.Dialogs->Confirm("監視銘柄を保存します。よろしいですか？")) return false;
    // Through a temporary beside it: a failed save leaves the old list whole, and the monitor
    // goes on with the list it has.
    try {
        kestrel::WriteLines(Path(), topics);
    } catch (const std::exception& e) {
        Deps.Dialogs->ShowMessage(e.what());
        return false;
    }
    std::string done = "保存しました（" + std::to_string(topics.size()) + " 件";
    if (!refused.empty()) done += "、" + std::to_string(refused.size()) + " 行は保存していません";
    StatusBar1->showMessage(QString::fromStdString(done + "）"));
    if (Deps.Apply) Deps.Apply(topics);
    return true;
}

void TF_MeigaraListEdit::C1Click() { done(QDialog::Accepted); }

void TF_MeigaraListEdit::N11Click() {
    ComboGrid1->HideEditor();
    struct Row {
        std::string Code, Market, Name;
    };
    std::vector<Row> rows;
    for (int r = 1; r < ComboGrid1->RowCount(); ++r)
        rows.push_back({ComboGrid1->Cells(kColCode, r), ComboGrid1->Cells(kColMarket, r),
                        ComboGrid1->Cells(kColName, r)});
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        const std::string ka = Trimmed(a.Code), kb = Trimmed(b.Code);
        if (ka.empty() != kb.empty()) return kb.empty();
        return ka < kb;
    });
    for (size_t i = 0; i < rows.size(); ++i) {
        const int r = static_cast<int>(i) + 1;
        ComboGrid1->SetCells(kColCode, r, rows[i].Code);
        ComboGrid1->SetCells(kColMarket, r, rows[i].Market);
        ComboGrid1->SetCells(kColName, r, rows[i].Name);
    }
}

void TF_MeigaraListEdit::N12Click() {
    ComboGrid1->HideEditor();
    const int at = std::max(1, ComboGrid1->Row()) + 1;
    ComboGrid1->SetRowCount(ComboGrid1->RowCount() + 1);
    for (int r = ComboGrid1->RowCount() - 1; r > at; --r)
        for (int c = 0; c < ComboGrid1->ColCount(); ++c)
            ComboGrid1->SetCells(c, r, ComboGrid1->Cells(c, r - 1));
    SetRow(at, "", "");
    ComboGrid1->SetCurrentCell(kColCode, at);
}

void TF_MeigaraListEdit::N13Click() {
    ComboGrid1->HideEditor();
    const int at = std::max(1, ComboGrid1->Row());
    if (ComboGrid1->RowCount() <= 2) {
        SetRow(1, "", "");
        return;
    }
    for (int r = at; r + 1 < ComboGrid1->RowCount(); ++r)
        for (int c = 0; c < ComboGrid1->ColCount(); ++c)
            ComboGrid1->SetCells(c, r, ComboGrid1->Cells(c, r + 1));
    ComboGrid1->SetRowCount(ComboGrid1->RowCount() - 1);
    ComboGrid1->SetCurrentCell(ComboGrid1->Col(), std::min(at, ComboGrid1->RowCount() - 1));
}
