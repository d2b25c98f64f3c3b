#include "ui/IssueInfo.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/Format.h"
#include "common/TimeOfDay.h"
#include "ranking/Meigara.h"
#include "refdata/MeigaraInfo.h"
#include "ui/MainWindow.h"

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

QString Signed(const std::string& text, bool positive) {
    return positive ? QStringLiteral("+") + Q(text) : Q(text);
}

}  // namespace

QString TIssueInfo::MarketOf(const std::string& topic) {
    const size_t dot = topic.find('.', 4);
    if (dot == std::string::npos) return {};
    const std::string suffix = topic.substr(dot);
    for (size_t i = 0; i < std::size(MarketSuffixes); ++i)
        if (!suffix.empty() && suffix == MarketSuffixes[i])
            return QString::fromUtf8(MarketNames[i]);
    return {};
}

TIssueInfo::TIssueInfo(const CMeigara& m, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("IssueInfo"));
    setWindowTitle(QStringLiteral("銘柄情報 ") + Q(m.Code));
    setFont(kestrel::WindowFont(12));
    using kestrel::FormatThousands;
    Form = new QFormLayout;
    auto row = [&](const char* caption, const QString& value) {
        auto* label = new QLabel(value);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        Form->addRow(QString::fromUtf8(caption), label);
    };
    const QString market = MarketOf(m.Code);
    row("コード", Q(m.Code));
    row("銘柄名", Q(m.Name));
    row("市場", market.isEmpty() ? QStringLiteral("-") : market);
    row("信用貸借区分", Q(m.MarginClass));
    row("前日終値", Q(FormatThousands(m.PrevClose, false)));
    row("始値", Q(FormatThousands(m.OpenPrice, false)));
    row("ギャップ", Signed(FormatThousands(m.Gap, false), m.Gap > 0));
    row("S高", Q(FormatThousands(m.LimitHigh, false)));
    row("S高利幅", Q(FormatThousands(m.LimitGap, false)));
    row("年初来高値", Q(FormatThousands(m.YearHigh, false)));
    row("貸借倍率", Q(kestrel::FormatPrintfReal("%.2f", m.LoanRatio)));
    row("現在値", Q(FormatThousands(m.Price, false)));
    row("時刻", Q(kestrel::FormatHhNn(m.Time)));
    row("出来高", Q(FormatThousands(m.Volume, false)));
    row("前日比率", Signed(kestrel::FormatPrintfReal("%.2f", m.DayRatio), m.DayRatio > 0) +
                        QStringLiteral("%"));
    row("当日比率", Signed(kestrel::FormatPrintfReal("%.2f", m.OpenRatio), m.OpenRatio > 0) +
                        QStringLiteral("%"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(Form);
    layout->addWidget(buttons);
}

QString TIssueInfo::Value(const QString& caption) const {
    for (int r = 0; r < Form->rowCount(); ++r) {
        auto* label = qobject_cast<QLabel*>(Form->itemAt(r, QFormLayout::LabelRole)->widget());
        if (!label || label->text() != caption) continue;
        auto* value = qobject_cast<QLabel*>(Form->itemAt(r, QFormLayout::FieldRole)->widget());
        return value ? value->text() : QString();
    }
    return {};
}
