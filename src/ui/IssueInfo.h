#pragma once
// TIssueInfo: 銘柄情報, the reference figures of one issue and its quote now, as its tracker (or
// the list it is in) holds them.
#include <QDialog>
#include <QString>

class CMeigara;
class QFormLayout;

class TIssueInfo : public QDialog {
    Q_OBJECT
public:
    TIssueInfo(const CMeigara& figures, QWidget* parent = nullptr);
    // The text shown beside a caption ("前日終値"), or a null string when there is no such row.
    QString Value(const QString& caption) const;
    // The market of a topic by its suffix ("1234.T" -> "東証"); "" without a known suffix.
    static QString MarketOf(const std::string& topic);

private:
    QFormLayout* Form = nullptr;
};
