#pragma once
// TF_MeigaraListEdit: the watch-list editor, a modal window with the three-column combo grid
// (code, market, name) and its menu. It opens filled from 監視銘柄.txt and saves the list back.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QDialog>

class CMeigaraInfo;
class CMeigaraInfoList;
class IDialogs;
class QMenuBar;
class QStatusBar;
class TComboGrid;

// What the editor works with; each may be left empty.
struct TF_MeigaraListEditDeps {
    IDialogs* Dialogs = nullptr;  // none: the program's own message boxes
    std::string Dir;              // the working folder ("" for the current one)
    // The master list the names come from, looked up at each use: start-up loads it.
    std::function<const CMeigaraInfoList*()> MasterList;
    // The saved list put in place in the running monitor, one topic per entry.
    std::function<void(const std::vector<std::string>&)> Apply;
};

class TF_MeigaraListEdit : public QDialog {
    Q_OBJECT
public:
    explicit TF_MeigaraListEdit(QWidget* parent = nullptr);
    explicit TF_MeigaraListEdit(TF_MeigaraListEditDeps deps, QWidget* parent = nullptr);
    ~TF_MeigaraListEdit() override;

    TComboGrid* ComboGrid1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QMenuBar* MainMenu1 = nullptr;

    static constexpr const char* kFileName = "監視銘柄.txt";
    // Grid columns.
    enum { kColCode, kColMarket, kColName };

    // Fills the grid from the file, one row per line (and one empty row for an empty list).
    // A file that cannot be read is said, and the grid is left empty.
    void LoadWatchList();
    // "保存(&S)": checks the rows, says what will not be written, asks, writes the file and
    // puts the list in place. True when the file was written.
    bool S1Click();
    // "閉じる(&C)": ends the modal show with the result OK.
    void C1Click();
    // "ソート(&1)": the rows by code, empty codes last; rows of one code keep their order.
    void N11Click();
    // "行の追加(&2)": an empty row below the current one, which becomes current.
    void N12Click();
    // "行の削除(&3)": the current row goes (the last one left is emptied instead).
    void N13Click();

    // The topic a row stands for, and the rows that would be written now: one topic per row
    // whose code is known and not taken by an earlier row; `refused` gets the word on the
    // others (empty rows are passed over without a word).
    std::string RowTopic(int row) const;
    std::vector<std::string> CheckedTopics(std::vector<std::string>* refused) const;
    // The master list's record of exactly this code, and its name ("" when it has none).
    const CMeigaraInfo* Find(const std::string& code) const;
    std::string NameOf(const std::string& code) const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Guarded(const std::function<void()>& handler);
    void SetRow(int row, const std::string& code, const std::string& market);
    void RefreshName(int row);
    void HookEditor();
    std::string Path() const;

    TF_MeigaraListEditDeps Deps;
    std::unique_ptr<IDialogs> OwnDialogs;
};

extern TF_MeigaraListEdit* F_MeigaraListEdit;
