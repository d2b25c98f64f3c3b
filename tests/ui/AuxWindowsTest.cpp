#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

#include "common/Codec.h"
#include "ranking/Meigara.h"
#include "settings/Ini.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"
#include "ui/D_init.h"
#include "ui/Dialogs.h"
#include "ui/MainWindow.h"
#include "ui/MeigaraListEdit.h"
#include "ui/QtUserInterface.h"
#include "ui/Rtf.h"
#include "ui/UiTestSupport.h"
#include "ui/debug.h"

using kestrel::test::CFakeClock;
using kestrel::test::TempDir;

namespace {

// An RTF reader of our own for the tests, independent of the writer: it keeps the body text,
// skips the font table and other destinations, takes \'hh as code page 932 bytes and \uN as
// UTF-16 (skipping the one fallback character), and ends a line at \par.
std::vector<std::string> ReadRtfLines(const std::string& rtf) {
    std::vector<std::string> lines;
    std::string bytes;  // CP932 of the current run
    std::string line;   // UTF-8
    std::vector<uint16_t> pendingHigh;
    auto flush = [&] {
        line += kestrel::Cp932ToUtf8(bytes);
        bytes.clear();
    };
    auto appendUtf8 = [&](uint32_t cp) {
        flush();
        std::string u;
        if (cp < 0x80) {
            u += char(cp);
        } else if (cp < 0x800) {
            u += char(0xC0 | (cp >> 6));
            u += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            u += char(0xE0 | (cp >> 12));
            u += char(0x80 | ((cp >> 6) & 0x3F));
            u += char(0x80 | (cp & 0x3F));
        } else {
            u += char(0xF0 | (cp >> 18));
            u += char(0x80 | ((cp >> 12) & 0x3F));
            u += char(0x80 | ((cp >> 6) & 0x3F));
            u += char(0x80 | (cp & 0x3F));
        }
        line += u;
    };
    int depth = 0;
    int skipDepth = -1;  // inside a destination we do not show
    bool sawRtf1 = false;
    for (size_t i = 0; i < rtf.size();) {
        const char c = rtf[i];
        if (c == '{') {
            ++depth;
            ++i;
            continue;
        }
        if (c == '}') {
            if (depth == skipDepth) skipDepth = -1;
            --depth;
            ++i;
            continue;
        }
        if (c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        const bool skipping = skipDepth >= 0;
        if (c != '\\') {
            if (!skipping && depth > 0) bytes += c;
            ++i;
            continue;
        }
        // A control symbol or word.
        ++i;
        if (i >= rtf.size()) break;
        const char s = rtf[i];
        if (s == '\\' || s == '{' || s == '}') {
            if (!skipping) bytes += s;
            ++i;
            continue;
        }
        if (s == '\'') {
            const int b = std::stoi(rtf.substr(i + 1, 2), nullptr, 16);
            if (!skipping) bytes += char(b);
            i += 3;
            continue;
        }
        if (s == '*') {
            skipDepth = depth;
            ++i;
            continue;
        }
        std::string word;
        while (i < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[i]))) word += rtf[i++];
        std::string num;
        if (i < rtf.size() && (rtf[i] == '-' || std::isdigit(static_cast<unsigned char>(rtf[i])))) {
            num += rtf[i++];
            while (i < rtf.size() && std::isdigit(static_cast<unsigned char>(rtf[i])))
                num += rtf[i++];
        }
        if (i < rtf.size() && rtf[i] == ' ') ++i;
        if (word == "rtf" && num == "1") sawRtf1 = true;
        if (word == "fonttbl" || word == "colortbl" || word == "stylesheet" || word == "info")
            skipDepth = depth;
        if (skipping) continue;
        if (word == "par") {
            flush();
            lines.push_back(line);
            line.clear();
        } else if (word == "tab") {
            bytes += '\t';
        } else if (word == "u") {
            int v = std::stoi(num);
            uint16_t unit = static_cast<uint16_t>(v < 0 ? v + 65536 : v);
            if (unit >= 0xD800 && unit < 0xDC00) {
                pendingHigh.push_back(unit);
            } else if (unit >= 0xDC00 && unit < 0xE000 && !pendingHigh.empty()) {
                appendUtf8(0x10000 + ((pendingHigh.back() - 0xD800u) << 10) + (unit - 0xDC00u));
                pendingHigh.clear();
            } else {
                appendUtf8(unit);
            }
            if (i < rtf.size()) ++i;  // the fallback character (\uc1)
        }
    }
    flush();
    if (!line.empty()) lines.push_back(line);
    if (!sawRtf1) lines.insert(lines.begin(), "<not RTF>");
    return lines;
}

class EventViewerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kestrel::test::EnsureApplication(); }
    void SetUp() override { viewer_ = std::make_unique<TF_DEBUG>(dialogs_, clock_, dir_.Path()); }

    std::string Read(const std::string& name) { return dir_.ReadBytes(name); }

    TempDir dir_;
    CScriptedDialogs dialogs_;
    CFakeClock clock_{CFakeClock::kAfterTheClose};
    std::unique_ptr<TF_DEBUG> viewer_;
};

TEST_F(EventViewerTest, WindowAndLinesWrittenWhileHidden) {
    EXPECT_EQ(viewer_->windowTitle(), QStringLiteral("EventViewer"));
    EXPECT_EQ(viewer_->size(), QSize(385, 400));
    EXPECT_TRUE(viewer_->log->isReadOnly());
    EXPECT_EQ(viewer_->log->geometry(), QRect(8, 8, 365, 357));
    EXPECT_EQ(viewer_->findChild<QAction*>(QStringLiteral("N1"))->text(), QStringLiteral("クリア"));
    EXPECT_EQ(viewer_->findChild<QAction*>(QStringLiteral("Z1"))->text(),
              QStringLiteral("保存(&Z)"));

    ASSERT_FALSE(viewer_->isVisible());
    CQtUserInterface ui(dialogs_);
    ui.Attach({nullptr, viewer_.get(), nullptr});
    ui.AppendEventLine("09:01 1234.T 急騰 +2.50%");
    ui.AppendEventLine("09:02 5678.OS 急騰 +3.10%");
    viewer_->ShowViewer();
    EXPECT_TRUE(viewer_->isVisible());
    EXPECT_EQ(viewer_->Lines(),
              (std::vector<std::string>{"09:01 1234.T 急騰 +2.50%", "09:02 5678.OS 急騰 +3.10%"}));

    // Closing only hides; the log goes on.
    viewer_->close();
    EXPECT_FALSE(viewer_->isVisible());
    ui.AppendEventLine("09:03 9999 急騰 +2.00%");
    EXPECT_EQ(viewer_->Lines().size(), 3u);
}

TEST_F(EventViewerTest, ClearAsksFirst) {
    viewer_->AppendLine("a");
    dialogs_.Answers = {false, true};
    viewer_->findChild<QAction*>(QStringLiteral("N1"))->trigger();
    EXPECT_EQ(viewer_->Lines().size(), 1u);
    viewer_->N1Click();
    EXPECT_TRUE(viewer_->Lines().empty());
    EXPECT_EQ(dialogs_.Questions,
              (std::vector<std::string>(2, "ログをクリアします。よろしいですか？")));
}

TEST_F(EventViewerTest, SaveWritesRtfThatReadsBackThenClears) {
    const std::vector<std::string> lines = {"09:01 1234.T ｿﾆｰ 急騰 +2.50% 【貸借】",
                                            "path C:\\kabu {braces}",
                                            "工事中です。（∩ﾟдﾟ)",
                                            "not in Shift-JIS: 😀 and ☃",
                                            "",
                                            "last"};
    for (const auto& l : lines) viewer_->AppendLine(l);
    dialogs_.Answers = {false};
    viewer_->Z1Click();
    EXPECT_EQ(viewer_->Lines(), lines) << "いいえ keeps the log";
    EXPECT_TRUE(dir_.ReadBytes("LOG2612071530.txt").empty());

    dialogs_.Answers = {true};
    viewer_->findChild<QAction*>(QStringLiteral("Z1"))->trigger();
    EXPECT_EQ(dialogs_.Questions.back(), "ログを保存します。よろしいですか？");
    EXPECT_TRUE(dialogs_.Messages.empty());
    EXPECT_TRUE(viewer_->Lines().empty());
    const std::string rtf = Read("LOG2612071530.txt");
    ASSERT_FALSE(rtf.empty());
    EXPECT_EQ(rtf.rfind("{\\rtf1\\ansi\\ansicpg932", 0), 0u);
    EXPECT_NE(rtf.find("\\fcharset128"), std::string::npos) << "a Japanese font table";
    EXPECT_TRUE(kestrel::IsAscii(rtf));
    EXPECT_EQ(ReadRtfLines(rtf), lines);
}

TEST_F(EventViewerTest, TwoSavesInOneMinuteLeaveTheSecond) {
    viewer_->AppendLine("first");
    dialogs_.DefaultAnswer = true;
    viewer_->Z1Click();
    viewer_->AppendLine("second");
    clock_.NowMs += 20'000;  // still 15:30
    viewer_->Z1Click();
    EXPECT_EQ(ReadRtfLines(Read("LOG2612071530.txt")), std::vector<std::string>{"second"});

    // An empty log still writes a file.
    clock_.Date = {2027, 1, 2};
    clock_.NowMs = (7 * 60 + 5) * 60'000LL;
    viewer_->Z1Click();
    const std::string empty = Read("LOG2701020705.txt");
    EXPECT_FALSE(empty.empty());
    EXPECT_TRUE(ReadRtfLines(empty).empty());
}

TEST_F(EventViewerTest, SaveThatCannotCreateTheFileReportsAndKeepsTheLines) {
    TF_DEBUG viewer(dialogs_, clock_, dir_.File("missing"));
    viewer.AppendLine("keep me");
    dialogs_.Answers = {true};
    viewer.Z1Click();
    ASSERT_EQ(dialogs_.Messages.size(), 1u);
    const std::string& m = dialogs_.Messages[0];
    EXPECT_EQ(m.rfind("ファイル \"" + dir_.File("missing/LOG2612071530.txt") + "\". ", 0), 0u) << m;
    EXPECT_NE(m.find("を作成できません"), std::string::npos) << m;
    EXPECT_EQ(viewer.Lines(), std::vector<std::string>{"keep me"});
}

// Rises in red, falls in green, as in the grid; the lines keep their text, and so does the file.
TEST_F(EventViewerTest, RisesInRedFallsInGreenWithTheirTextAsWritten) {
    const std::vector<std::string> lines = {"10:05 1234.T:1030,(30),2.91% 1700[A,A]",
                                            "10:06 5678:96,(-2),-2.08% 0[D,A]", "not an event line",
                                            "10:07 9999.OS:5,(1),20.00% 0[A,A]"};
    const char kinds[] = {'A', 'D', 0, 'A'};  // as the moves give them; the text is not read
    for (size_t i = 0; i < lines.size(); ++i) viewer_->AppendLine(lines[i], kinds[i]);
    EXPECT_EQ(viewer_->Lines(), lines);
    auto format = [&](int block) {
        QTextCursor c(viewer_->log->document()->findBlockByNumber(block));
        c.movePosition(QTextCursor::EndOfBlock);
        return c.charFormat();
    };
    EXPECT_EQ(format(0).foreground().color(), QColor(255, 0, 0));
    EXPECT_EQ(format(1).foreground().color(), QColor(0, 128, 0));
    EXPECT_FALSE(format(2).hasProperty(QTextFormat::ForegroundBrush)) << "no colour carried on";
    EXPECT_EQ(format(3).foreground().color(), QColor(255, 0, 0));
    dialogs_.Answers = {true};
    viewer_->Z1Click();
    EXPECT_EQ(Read("LOG2612071530.txt"), kestrel::WriteRtf(lines));
}

// The viewer goes beside the main window, on whichever side has room, and covers none of it.
TEST_F(EventViewerTest, OpensBesideTheMainWindowOnTheSideWithRoom) {
    const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    if (avail.width() < 600 || avail.height() < 450) GTEST_SKIP() << "screen too small";
    const std::string ini = dir_.WriteCp932("KESTREL.INI", "[DEBUG]\r\nflg=0\r\n");
    CIni settings(ini);
    settings.Load();
    QWidget main;
    const int mainWidth = avail.width() - 385 - 60;
    for (bool onTheLeft : {true, false}) {
        main.setGeometry(onTheLeft ? avail.left() + 20 : avail.right() - 20 - mainWidth,
                         avail.top() + 30, mainWidth, 300);
        main.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
        TF_DEBUG viewer(dialogs_, clock_, dir_.Path());
        viewer.SetPlacement(&settings, &main);
        viewer.ShowViewer();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
        const QRect v = viewer.frameGeometry(), m = main.frameGeometry();
        EXPECT_FALSE(v.intersects(m)) << "over the main window";
        EXPECT_EQ(onTheLeft, v.left() > m.right()) << "on the side with room";
        EXPECT_TRUE(avail.contains(v));
        EXPECT_EQ(v.top(), m.top());
        EXPECT_EQ(viewer.size(), QSize(385, 400)) << "its designed size";
        viewer.hide();
    }
    EXPECT_EQ(dir_.ReadBytes("KESTREL.INI"), "[DEBUG]\r\nflg=0\r\n") << "placing writes nothing";

    // Room enough on one side for a narrower viewer: there, narrowed, its log with it.
    main.setGeometry(avail.left() + 320, avail.top() + 30, avail.width() - 320 - 300, 300);
    TF_DEBUG narrow(dialogs_, clock_, dir_.Path());
    narrow.SetPlacement(&settings, &main);
    narrow.ShowViewer();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&narrow));
    EXPECT_FALSE(narrow.frameGeometry().intersects(main.frameGeometry()));
    EXPECT_EQ(narrow.frameGeometry().left(), avail.left()) << "the wider side";
    EXPECT_LT(narrow.width(), 385);
    EXPECT_GE(narrow.frameGeometry().width(), TF_DEBUG::kMinBesideWidth);
    EXPECT_EQ(narrow.log->geometry(), QRect(8, 8, narrow.width() - 20, 357));

    // No room either side: on the wider side, at the screen's edge; a hidden main window, the
    // middle of the screen.
    main.setGeometry(avail.left() + 100, avail.top() + 30, avail.width() - 300, 300);
    TF_DEBUG tight(dialogs_, clock_, dir_.Path());
    tight.SetPlacement(&settings, &main);
    tight.ShowViewer();
    EXPECT_EQ(tight.frameGeometry().right(), avail.right());
    main.hide();
    TF_DEBUG alone(dialogs_, clock_, dir_.Path());
    alone.SetPlacement(&settings, &main);
    alone.ShowViewer();
    EXPECT_LE(std::abs(alone.frameGeometry().center().x() - avail.center().x()), 4);
    EXPECT_TRUE(dialogs_.Messages.empty());
}

// Moved by the trader, the viewer's place goes into its own section of the settings file once it
// has kept still, and the next start puts it there again.
TEST_F(EventViewerTest, RemembersWhereTheTraderPutsIt) {
    const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    const std::string before =
        "; the trader's own note\r\n[DEBUG]\r\nflg=0\r\n[GRID]\r\nwidth01=77\r\n";
    const std::string path = dir_.WriteCp932("KESTREL.INI", before);
    auto settings = std::make_unique<CIni>(path);
    settings->Load();
    EXPECT_FALSE(settings->ViewerPlace);
    QWidget main;
    main.setGeometry(avail.left() + 10, avail.top() + 10, 200, 200);
    main.show();
    auto viewer = std::make_unique<TF_DEBUG>(dialogs_, clock_, dir_.Path());
    viewer->SetPlacement(settings.get(), &main);
    viewer->ShowViewer();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer.get()));
    clock_.Advance(5000);
    viewer->hide();
    viewer->ShowViewer();
    EXPECT_EQ(dir_.ReadBytes("KESTREL.INI"), before) << "not moved: nothing written";

    const QPoint to = viewer->pos() + QPoint(30, 20);
    viewer->move(to);
    viewer->resize(400, 320);
    QCoreApplication::processEvents();
    ASSERT_EQ(viewer->pos(), to);
    clock_.Advance(TF_DEBUG::kSavePlaceDelayMs - 1);
    EXPECT_EQ(dir_.ReadBytes("KESTREL.INI"), before) << "still being moved";
    clock_.Advance(1);
    const std::string after = dir_.ReadBytes("KESTREL.INI");
    EXPECT_EQ(after.rfind(before, 0), 0u) << "the rest of the file as it was:\n" << after;
    CIni reread(path);
    reread.Load();
    ASSERT_TRUE(reread.ViewerPlace);
    EXPECT_EQ(*reread.ViewerPlace, (CIni::CPlace{to.x(), to.y(), 400, 320}));
    EXPECT_EQ(reread.GetWidth(0), 77);
    EXPECT_TRUE(dialogs_.Messages.empty());

    // Hidden, a move not yet saved is saved at once.
    viewer->move(to + QPoint(5, 5));
    QCoreApplication::processEvents();
    viewer->close();
    CIni closed(path);
    closed.Load();
    EXPECT_EQ(closed.ViewerPlace->Left, to.x() + 5);

    // The next start: where the trader put it, wherever the main window is.
    viewer.reset();
    settings = std::make_unique<CIni>(path);
    settings->Load();
    main.move(avail.left() + 40, avail.top() + 40);
    TF_DEBUG next(dialogs_, clock_, dir_.Path());
    next.SetPlacement(settings.get(), &main);
    next.ShowViewer();
    EXPECT_EQ(next.pos(), to + QPoint(5, 5));
    EXPECT_EQ(next.size(), QSize(400, 320));

    // A place on no screen any more (a monitor taken away): beside the main window instead.
    settings->ViewerPlace = CIni::CPlace{-20000, -20000, 400, 320};
    TF_DEBUG lost(dialogs_, clock_, dir_.Path());
    lost.SetPlacement(settings.get(), &main);
    lost.ShowViewer();
    EXPECT_TRUE(avail.intersects(lost.frameGeometry()));

    // A settings file that cannot be written is said once, however often the viewer moves.
    CIni unwritable(dir_.File("missing/KESTREL.INI"));
    TF_DEBUG stuck(dialogs_, clock_, dir_.Path());
    stuck.SetPlacement(&unwritable, &main);
    stuck.ShowViewer();
    for (int i = 1; i <= 3; ++i) {
        stuck.move(stuck.pos() + QPoint(i, i));
        QCoreApplication::processEvents();
        clock_.Advance(TF_DEBUG::kSavePlaceDelayMs);
    }
    ASSERT_EQ(dialogs_.Messages.size(), 1u);
    EXPECT_NE(dialogs_.Messages[0].find("に書き込めません"), std::string::npos);
}

TEST(RtfWriterTest, EscapesAndUnicode) {
    const std::string rtf = kestrel::WriteRtf({"a\\b{c}", "株\tｶ"});
    EXPECT_NE(rtf.find("a\\\\b\\{c\\}\\par"), std::string::npos) << rtf;
    // 株 is U+682A; the half-width ｶ U+FF76 goes as the signed 16-bit -138.
    EXPECT_NE(rtf.find("{\\u26666?}\\tab {\\u-138?}\\par"), std::string::npos) << rtf;
    EXPECT_NE(kestrel::WriteRtf({"😀"}).find("{\\u-10179?\\u-8704?}"), std::string::npos);
}

// The lines of unrtf's HTML rendering of a file: tags dropped, <br> ends a line, character
// references decoded.
std::vector<std::string> UnrtfLines(const std::string& path) {
    std::string html;
    const std::string command = "unrtf --html '" + path + "' 2>/dev/null";
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) html.append(buf, n);
        pclose(p);
    }
    const size_t body = html.find("<body>");
    const size_t end = html.find("</body>");
    if (body == std::string::npos || end == std::string::npos) return {"<no body>"};
    html = html.substr(body + 6, end - body - 6);
    std::vector<std::string> lines;
    QString line;
    const QString text = QString::fromUtf8(html.data(), qsizetype(html.size()));
    for (qsizetype i = 0; i < text.size();) {
        if (text[i] == u'<') {
            const qsizetype close = text.indexOf(u'>', i);
            if (text.mid(i, close - i + 1) == QStringLiteral("<br>")) {
                lines.push_back(line.toStdString());
                line.clear();
            }
            i = close + 1;
        } else if (text[i] == u'&') {
            const qsizetype semi = text.indexOf(u';', i);
            const QString name = text.mid(i + 1, semi - i - 1);
            if (name.startsWith(u'#'))
                line += QChar(char16_t(name.mid(1).toUInt()));
            else if (name == QStringLiteral("amp"))
                line += u'&';
            else if (name == QStringLiteral("lt"))
                line += u'<';
            else if (name == QStringLiteral("gt"))
                line += u'>';
            else if (name == QStringLiteral("cap"))
                line += QChar(char16_t(0x2229));
            else if (name == QStringLiteral("rarr"))
                line += QChar(char16_t(0x2192));
            else
                line += u'&' + name + u';';
            i = semi + 1;
        } else {
            if (text[i] != u'\n') line += text[i];
            ++i;
        }
    }
    if (!line.isEmpty()) lines.push_back(line.toStdString());
    return lines;
}

TEST_F(EventViewerTest, SavedLogReadsBackInUnrtf) {
    if (std::system("command -v unrtf >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "unrtf is not installed";
    const std::vector<std::string> lines = {"10:01 7203.T トヨタ自動車 急騰 +2.04% (2,480→2,530)",
                                            "ｿﾆｰ【貸借】 工事中です。（∩ﾟдﾟ)", "a < b & {c}",
                                            "😀 outside the code page"};
    for (const auto& l : lines) viewer_->AppendLine(l);
    dialogs_.Answers = {true};
    viewer_->Z1Click();
    EXPECT_EQ(UnrtfLines(dir_.File("LOG2612071530.txt")), lines);
}

class SplashTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kestrel::test::EnsureApplication(); }
};

TEST_F(SplashTest, PictureDecodesAndBadDataGivesNone) {
    const QImage picture = kestrel::SplashPicture();
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), QSize(181, 205));

    const unsigned char garbage[] = {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(kestrel::DecodeJpeg(garbage, sizeof garbage).isNull());
    EXPECT_TRUE(kestrel::DecodeJpeg(garbage, 0).isNull());
    const unsigned char text[] = "not a picture at all";
    EXPECT_TRUE(kestrel::DecodeJpeg(text, sizeof text).isNull());
}

TEST_F(SplashTest, WindowOnTopWithoutCloseButtonCentredOnTheMainWindow) {
    TF_Kestrel2005_Init splash;
    EXPECT_EQ(splash.objectName(), QStringLiteral("TF_Kestrel2005_Init"));
    EXPECT_EQ(splash.windowTitle(), QStringLiteral("初期化中･･･"));
    EXPECT_EQ(splash.size(), QSize(412, 258));
    EXPECT_TRUE(splash.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(splash.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(splash.windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_EQ(splash.Image1->geometry(), QRect(116, 4, 181, 205));
    EXPECT_EQ(splash.Image1->pixmap().size(), QSize(181, 205));
    EXPECT_EQ(splash.Label1->pos(), QPoint(36, 216));
    EXPECT_EQ(splash.Label1->text(), QStringLiteral("初期化中です。しばらくお待ちください。"));
    EXPECT_EQ(splash.Label1->font().pixelSize(), 21);

    QWidget owner;
    owner.setGeometry(303, 108, 799, 602);
    CScriptedDialogs dialogs;
    CQtUserInterface ui(dialogs);
    splash.ShowCentred(&owner);
    EXPECT_TRUE(splash.isVisible());
    // Centred to the pixel; odd and even sizes round apart.
    EXPECT_LE((splash.frameGeometry().center() - owner.frameGeometry().center()).manhattanLength(),
              3);
    EXPECT_GT(splash.x(), owner.x());
    // The background grey and the picture where it belongs.
    const QImage shot = splash.grab().toImage();
    EXPECT_EQ(shot.pixelColor(5, 5), QColor(238, 238, 238));
    EXPECT_NE(shot.pixelColor(116 + 90, 4 + 10), QColor(238, 238, 238));
    splash.hide();
}

class WatchListEditorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kestrel::test::EnsureApplication(); }
};

TEST_F(WatchListEditorTest, GridMenuAndCloseWithOk) {
    TF_MeigaraListEdit editor;
    EXPECT_EQ(F_MeigaraListEdit, &editor);
    EXPECT_EQ(editor.windowTitle(), QStringLiteral("監視銘柄設定"));
    EXPECT_EQ(editor.size(), QSize(363, 601));
    EXPECT_FALSE(editor.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(editor.windowFlags() & Qt::WindowMaximizeButtonHint);
    TComboGrid& g = *editor.ComboGrid1;
    ASSERT_EQ(g.ColCount(), 3);
    EXPECT_EQ(g.RowCount(), 2);
    EXPECT_EQ(g.Cells(0, 0), "コード");
    EXPECT_EQ(g.Cells(1, 0), "市場");
    EXPECT_EQ(g.Cells(2, 0), "銘柄名");
    EXPECT_EQ(g.ColWidths(0), 52);
    EXPECT_EQ(g.ColWidths(1), 59);
    EXPECT_EQ(g.ColWidths(2), 232);
    EXPECT_EQ(g.GetCellKind(1).CellType, ctList);
    EXPECT_EQ(g.GetCellKind(1).DropDownWidth, 185);
    EXPECT_TRUE(g.Options() & goEditing);
    EXPECT_TRUE(g.Options() & goHorzLine);
    for (const char* name : {"S1", "C1", "N11", "N12", "N13"})
        EXPECT_NE(editor.findChild<QAction*>(QString::fromUtf8(name)), nullptr) << name;

    int result = -1;
    QTimer::singleShot(0, &editor,
                       [&] { editor.findChild<QAction*>(QStringLiteral("C1"))->trigger(); });
    result = editor.exec();
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_FALSE(editor.isVisible());
    EXPECT_EQ(g.Cells(0, 1), "");
}

class QtUserInterfaceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { kestrel::test::EnsureApplication(); }
};

// Answers the next message box with the button `press`, after noting what it showed.
struct BoxSpy {
    QString Title, Text;
    QStringList Buttons;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    void Arm(const QString& press) {
        QTimer::singleShot(0, [this, press] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            Title = box->windowTitle();
            Text = box->text();
            Icon = box->icon();
            for (QAbstractButton* b : box->buttons()) Buttons << b->text();
            for (QAbstractButton* b : box->buttons())
                if (b->text() == press) b->click();
        });
    }
};

TEST_F(QtUserInterfaceTest, BoxesCarryTheTitlesButtonsAndAnswers) {
    CQtDialogs dialogs;
    BoxSpy spy;
    spy.Arm(QStringLiteral("OK"));
    dialogs.ShowMessage("銘柄情報リストの取得に失敗しました。【銘柄情報.txt】");
    EXPECT_EQ(spy.Title, QStringLiteral("ケストレル2005"));
    EXPECT_EQ(spy.Text, QStringLiteral("銘柄情報リストの取得に失敗しました。【銘柄情報.txt】"));
    EXPECT_EQ(spy.Buttons, QStringList{QStringLiteral("OK")});

    BoxSpy yes;
    yes.Arm(QStringLiteral("はい(&Y)"));
    EXPECT_TRUE(dialogs.Confirm("レジュームファイルがあります。ロードしますか？"));
    EXPECT_EQ(yes.Title, QStringLiteral("確認"));
    EXPECT_EQ(yes.Icon, QMessageBox::Question);
    EXPECT_EQ(yes.Buttons.size(), 2);
    EXPECT_TRUE(yes.Buttons.contains(QStringLiteral("いいえ(&N)")));

    BoxSpy no;
    no.Arm(QStringLiteral("いいえ(&N)"));
    EXPECT_FALSE(dialogs.Confirm("ログをクリアします。よろしいですか？"));

    dialogs.SetBusy(true);
    dialogs.SetBusy(true);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    dialogs.SetBusy(false);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "busy calls do not stack";
}

TEST_F(QtUserInterfaceTest, ReachesTheWindowsAndQuitsFromTheEventLoop) {
    TempDir dir;
    CIni ini(dir.File("KESTREL.INI"));
    ini.Load();
    CScriptedDialogs dialogs;
    CFakeClock clock{CFakeClock::kAfterTheClose};
    CMeigaraList list('A');
    TF_MainDeps deps;
    deps.Dialogs = &dialogs;
    deps.Clock = &clock;
    deps.List = &list;
    deps.Ini = &ini;
    TF_Main main(deps);
    TF_DEBUG viewer(dialogs, clock);
    TF_Kestrel2005_Init splash;
    CQtUserInterface ui(dialogs);
    ui.Attach({&main, &viewer, &splash});

    ui.SetStatusText("【09:00:01,1234,1500】");
    EXPECT_EQ(main.StatusText(), "【09:00:01,1234,1500】");
    ui.SetStatusText("");
    EXPECT_EQ(main.StatusText(), "");
    ui.AppendEventLine("line");
    EXPECT_EQ(viewer.Lines(), std::vector<std::string>{"line"});
    ui.ShowSplash(true);
    EXPECT_TRUE(splash.isVisible());
    ui.ShowSplash(false);
    EXPECT_FALSE(splash.isVisible());
    EXPECT_FALSE(main.isEnabled());
    ui.EnableMainWindow();
    EXPECT_TRUE(main.isEnabled());
    ui.SetBusy(false);
    EXPECT_FALSE(dialogs.Busy);
    dialogs.Answers = {true};
    EXPECT_TRUE(ui.Confirm("q"));
    ui.ShowMessage("m");
    EXPECT_EQ(dialogs.Messages, std::vector<std::string>{"m"});

    // The quit is asked for now and happens once the event loop runs; asking twice is once.
    ui.RequestQuit();
    ui.RequestQuit();
    QTimer guard;
    bool timedOut = false;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        timedOut = true;
        QCoreApplication::exit(1);
    });
    guard.start(60'000);  // only a guard against a quit that never comes
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(timedOut);
}

}  // namespace
