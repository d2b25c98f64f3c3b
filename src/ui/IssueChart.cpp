#include "ui/IssueChart.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <QDateTime>
#include <QLabel>
#include <QPen>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include "common/Format.h"
#include "common/TimeOfDay.h"
#include "tracking/Trkg.h"
#include "ui/MainWindow.h"

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// The colours of the grid: rises red, falls green.
const QColor kRise(255, 0, 0);
const QColor kFall(0, 128, 0);
const QColor kPrice(0, 0, 160);
const QColor kWindow(128, 128, 128);

QLineSeries* Line(const QString& name, const QColor& colour, Qt::PenStyle style, int width) {
    auto* s = new QLineSeries;
    s->setName(name);
    QPen pen(colour);
    pen.setStyle(style);
    pen.setWidth(width);
    s->setPen(pen);
    return s;
}

QScatterSeries* Marks(const QString& name, const QColor& colour,
                      QScatterSeries::MarkerShape shape) {
    auto* s = new QScatterSeries;
    s->setName(name);
    s->setMarkerShape(shape);
    s->setMarkerSize(9);
    s->setColor(colour);
    s->setBorderColor(colour);
    return s;
}

}  // namespace

TChartData ReadChartData(const CTrkg& t, const MoveRule& rule) {
    TChartData d;
    const int count = std::clamp(t.Detector.PointCount, 0, CTrkg::kHistory);
    if (count == 0) return d;
    // While the ring is not full the points run from slot 0; once full, the oldest is the one
    // the next point will overwrite.
    const int oldest = count < CTrkg::kHistory ? 0 : t.Detector.WritePos;
    d.Points.reserve(static_cast<size_t>(count));
    // The stored points go one by one, oldest first, through a detector of the chart's own
    // with the tracker's rule: each is judged as the tracker judged it when the point came,
    // against the points before it. Its slots are the points' indices, since it is never
    // given more points than its ring holds.
    auto judge = std::make_unique<CMoveDetector>();
    for (int i = 0; i < count; ++i) {
        const TTickEntry e = t.Detector.Entry((oldest + i) % CTrkg::kHistory);
        const TChartPoint point{e.TimeMs, e.Price};
        d.Points.push_back(point);
        judge->Write(e);
        judge->Advance();
        MoveEvent rise, fall;
        judge->Detect(rule, rise, fall);
        if (rise.IsAlert()) d.Rises.push_back(point);
        if (fall.IsAlert()) d.Falls.push_back(point);
    }
    const CMoveDetector::Window w = judge->LatestWindow(rule);
    d.HasWindow = true;
    d.WindowStartMs = w.StartMs;
    d.WindowFirst = static_cast<size_t>(w.First);
    d.Low = w.Low;
    d.High = w.High;
    // The price p is a sharp rise when (p - low) / p >= rate / 100, so from low / (1 - r) on;
    // a sharp fall when (p - high) / p <= -rate / 100, so up to high / (1 + r).
    const double r = rule.Rate / 100;
    if (r > 0 && r < 1) {
        d.HasRiseLine = true;
        d.RiseLine = d.Low / (1 - r);
        d.HasFallLine = true;
        d.FallLine = d.High / (1 + r);
    }
    return d;
}

double TIssueChart::AxisX(int64_t ms) {
    // A time of day on a fixed day of the local calendar: the axis shows local clock times, so
    // the day is the local one too (and far from any change of summer time).
    static const qint64 base = QDateTime(QDate(2000, 1, 10), QTime(0, 0)).toMSecsSinceEpoch();
    return static_cast<double>(base + ms);
}

TIssueChart::TIssueChart(std::string topic, TSource source, QWidget* parent)
    : QWidget(parent, Qt::Window), TopicText(std::move(topic)), Source(std::move(source)) {
    setObjectName(QStringLiteral("IssueChart"));
    setWindowTitle(Q(TopicText) + QStringLiteral(" チャート"));
    setFont(kestrel::WindowFont(12));
    resize(720, 460);

    Chart = new QChart;
    Chart->setFont(font());
    Chart->legend()->setAlignment(Qt::AlignBottom);
    Chart->legend()->setFont(font());
    Prices = Line(QStringLiteral("株価"), kPrice, Qt::SolidLine, 2);
    WindowLow = Line(QStringLiteral("窓の安値"), kWindow, Qt::DashLine, 1);
    WindowHigh = Line(QStringLiteral("窓の高値"), kWindow, Qt::DotLine, 1);
    RiseLine = Line(QStringLiteral("急騰ライン"), kRise, Qt::DashLine, 1);
    FallLine = Line(QStringLiteral("急落ライン"), kFall, Qt::DashLine, 1);
    Rises = Marks(QStringLiteral("急騰"), kRise, QScatterSeries::MarkerShapeTriangle);
    Falls = Marks(QStringLiteral("急落"), kFall, QScatterSeries::MarkerShapeRectangle);
    TimeAxis = new QDateTimeAxis;
    TimeAxis->setFormat(QStringLiteral("hh:mm"));
    TimeAxis->setLabelsFont(font());
    PriceAxis = new QValueAxis;
    PriceAxis->setLabelFormat(QStringLiteral("%.0f"));
    PriceAxis->setLabelsFont(font());
    Chart->addAxis(TimeAxis, Qt::AlignBottom);
    Chart->addAxis(PriceAxis, Qt::AlignLeft);
    for (QXYSeries* s : std::initializer_list<QXYSeries*>{Prices, WindowLow, WindowHigh, RiseLine,
                                                          FallLine, Rises, Falls}) {
        Chart->addSeries(s);
        s->attachAxis(TimeAxis);
        s->attachAxis(PriceAxis);
    }

    View = new QChartView(Chart, this);
    View->setRenderHint(QPainter::Antialiasing);
    Figures = new QLabel(this);
    Figures->setObjectName(QStringLiteral("Figures"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(View, 1);
    layout->addWidget(Figures);

    RefreshTimer.setInterval(kRefreshMs);
    connect(&RefreshTimer, &QTimer::timeout, this, &TIssueChart::Refresh);
    RefreshTimer.start();
    Refresh();
}

TIssueChart::~TIssueChart() { RefreshTimer.stop(); }

void TIssueChart::Refresh() {
    const CTrkg* t = Source.Tracker ? Source.Tracker() : nullptr;
    if (!t) {
        LastTracker = nullptr;
        ShowNothing(QStringLiteral("監視銘柄にありません"));
        return;
    }
    const MoveRule rule = Source.Rule ? Source.Rule() : MoveRule{};
    // A new point always moves the write position (or, until the ring is full, the count).
    if (t == LastTracker && t->Detector.WritePos == LastWritePos &&
        t->Detector.PointCount == LastPointCount && rule == LastRule)
        return;
    LastTracker = t;
    LastWritePos = t->Detector.WritePos;
    LastPointCount = t->Detector.PointCount;
    LastRule = rule;
    IssueTitle = Q(TopicText) + QStringLiteral(" ") + Q(t->Name);
    setWindowTitle(IssueTitle + QStringLiteral(" チャート"));
    if (t->Detector.PointCount <= 0) {
        ShowNothing(QStringLiteral("約定がまだありません"));
        return;
    }
    Show(ReadChartData(*t, rule), rule);
}

void TIssueChart::ShowNothing(const QString& why) {
    for (QXYSeries* s : std::initializer_list<QXYSeries*>{Prices, WindowLow, WindowHigh, RiseLine,
                                                          FallLine, Rises, Falls})
        s->clear();
    Chart->setTitle(Q(TopicText) + QStringLiteral(": ") + why);
    Figures->setText(why);
}

void TIssueChart::Show(const TChartData& d, const MoveRule& rule) {
    QList<QPointF> prices;
    prices.reserve(static_cast<qsizetype>(d.Points.size()));
    for (const TChartPoint& p : d.Points) prices.append(QPointF(AxisX(p.Ms), p.Price));
    Prices->replace(prices);
    auto marks = [](QScatterSeries* s, const std::vector<TChartPoint>& points) {
        QList<QPointF> list;
        for (const TChartPoint& p : points) list.append(QPointF(AxisX(p.Ms), p.Price));
        s->replace(list);
    };
    marks(Rises, d.Rises);
    marks(Falls, d.Falls);

    // The window's lines run from its start (or its first point, when that is later) to the
    // latest point.
    const int64_t latest = d.Points.back().Ms;
    const int64_t from = std::max(d.WindowStartMs, d.Points[d.WindowFirst].Ms);
    auto level = [&](QLineSeries* s, bool there, double value) {
        if (!there) {
            s->clear();
            return;
        }
        s->replace(QList<QPointF>{QPointF(AxisX(std::min(from, latest)), value),
                                  QPointF(AxisX(latest), value)});
    };
    level(WindowLow, d.HasWindow, d.Low);
    level(WindowHigh, d.HasWindow, d.High);
    level(RiseLine, d.HasRiseLine, d.RiseLine);
    level(FallLine, d.HasFallLine, d.FallLine);

    // Axes over every point and line, with a little room around them.
    double lo = d.Points.front().Price, hi = lo;
    for (const TChartPoint& p : d.Points) {
        lo = std::min<double>(lo, p.Price);
        hi = std::max<double>(hi, p.Price);
    }
    if (d.HasRiseLine) hi = std::max(hi, d.RiseLine), lo = std::min(lo, d.RiseLine);
    if (d.HasFallLine) lo = std::min(lo, d.FallLine), hi = std::max(hi, d.FallLine);
    const double pad = std::max(1.0, (hi - lo) * 0.05);
    PriceAxis->setRange(std::floor(lo - pad), std::ceil(hi + pad));
    PriceAxis->applyNiceNumbers();
    const int64_t first = d.Points.front().Ms;
    const int64_t last = std::max(latest, first + kestrel::kMsPerMinute);
    TimeAxis->setRange(QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(AxisX(first))),
                       QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(AxisX(last))));

    const QString rateText = Q(kestrel::FormatFixed(rule.Rate, 1));
    Chart->setTitle(IssueTitle + QStringLiteral("  %1 点  急騰 %2 回・急落 %3 回")
                                     .arg(d.Points.size())
                                     .arg(d.Rises.size())
                                     .arg(d.Falls.size()));
    QString figures = QStringLiteral("%1 現在値 %2  窓(%3分, %4〜) 安値 %5 高値 %6")
                          .arg(Q(kestrel::FormatHhNnMs(latest)))
                          .arg(d.Points.back().Price)
                          .arg(rule.SpanMinutes)
                          .arg(Q(kestrel::FormatHhNnMs(d.WindowStartMs)))
                          .arg(d.Low)
                          .arg(d.High);
    if (d.HasRiseLine)
        figures += QStringLiteral("  急騰ライン %1  急落ライン %2 (±%3%)")
                       .arg(Q(kestrel::FormatFixed(d.RiseLine, 1)))
                       .arg(Q(kestrel::FormatFixed(d.FallLine, 1)))
                       .arg(rateText);
    Figures->setText(figures);
}
