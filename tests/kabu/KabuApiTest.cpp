// The rules of the kabu source that need no connection: topics to exchange codes, times to
// Japan's, frames to figures, the margin class, what an answer means, the waits, the password
// file.
#include <string>

#include <sys/stat.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include "kestrel-feed/KabuApi.h"
#include "kestrel-feed/KabuSource.h"
#include "support/TempDir.h"

using namespace kestrel::feed::kabu;
using kestrel::test::TempDir;

namespace {

QJsonObject Object(const char* json) { return QJsonDocument::fromJson(json).object(); }

std::string Refusal(const std::string& topic) {
    TopicSymbol s;
    std::string why;
    return MapTopic(topic, s, why) ? "mapped" : why;
}

}  // namespace

TEST(KabuApi, TopicsMapToTheApisExchangeCodes) {
    for (const char* topic : {"7203.T", "7203.OS", "7203.Q", "7203.OJ", "130A.T"}) {
        TopicSymbol s;
        std::string why;
        ASSERT_TRUE(MapTopic(topic, s, why)) << topic;
        EXPECT_EQ(s.Exchange, 1) << topic;
        EXPECT_EQ(s.Code, std::string(topic).substr(0, 4));
    }
    // Every refusal names the topic.
    EXPECT_EQ(Refusal("7203"),
              "7203: a code without a market (名証 or 福証) has no exchange code in the API");
    EXPECT_EQ(Refusal("7203.N"), "7203.N: the market .N has no exchange code in the API");
    EXPECT_EQ(Refusal("7203.t"), "7203.t: the market .t has no exchange code in the API");
    EXPECT_EQ(Refusal("720.T"), "720.T: not an issue code");
    EXPECT_EQ(Refusal("abcd.T"), "abcd.T: not an issue code");
    EXPECT_EQ(Refusal(""), ": not an issue code");
}

TEST(KabuApi, TimesAreTakenInJapan) {
    std::string t, d;
    int offset = 0;
    ASSERT_TRUE(JapanTime(QStringLiteral("2022-04-04T15:00:00+09:00"), t, d, offset));
    EXPECT_EQ(t, "15:00:00");
    EXPECT_EQ(d, "20220404");
    EXPECT_EQ(offset, 540);
    // A PC on the US west coast: the same instant, a day earlier on its calendar.
    ASSERT_TRUE(JapanTime(QStringLiteral("2022-04-03T23:00:05-08:00"), t, d, offset));
    EXPECT_EQ(t, "16:00:05");
    EXPECT_EQ(d, "20220404");
    EXPECT_EQ(offset, -480);
    ASSERT_TRUE(JapanTime(QStringLiteral("2022-04-04T09:00:01"), t, d, offset));
    EXPECT_EQ(t, "09:00:01");
    EXPECT_FALSE(JapanTime(QStringLiteral("09:00"), t, d, offset));
    EXPECT_FALSE(JapanTime(QString(), t, d, offset));
}

TEST(KabuApi, AFrameGivesItsFiguresAndLeavesNullsOut) {
    Quote q;
    ASSERT_TRUE(ReadQuote(Object(R"({"Symbol":"5401","SymbolName":"日本製鉄","CurrentPrice":2408.0,
            "CurrentPriceTime":"2022-04-04T14:59:58+09:00","PreviousClose":2400.0,
            "ChangePreviousClosePer":0.33,"OpeningPrice":2380.0,"TradingVolume":4571500.0,
            "TradingVolumeTime":"2022-04-04T15:00:00+09:00","VWAP":2394.4262,
            "BidPrice":2408.5,"AskPrice":2407.5})"),
                          q));
    EXPECT_EQ(q.Symbol, "5401");
    EXPECT_EQ(q.Price, 2408.0);  // not BidPrice, which is the best offer
    EXPECT_EQ(q.PriceTime, "14:59:58");
    EXPECT_EQ(q.Volume, 4571500.0);
    EXPECT_EQ(q.Day, "20220404");
    EXPECT_EQ(q.Vwap, 2394.4262);
    EXPECT_EQ(q.ChangePercent, 0.33);
    EXPECT_EQ(q.Open, 2380.0);
    EXPECT_EQ(q.Name, std::string("日本製鉄"));
    EXPECT_FALSE(q.ForeignOffset);

    ASSERT_TRUE(ReadQuote(Object(R"({"Symbol":"5401","CurrentPrice":null,"CurrentPriceTime":null,
            "TradingVolume":null,"VWAP":null,"OpeningPrice":null,"BidPrice":2408.5})"),
                          q));
    EXPECT_FALSE(q.Price || q.Volume || q.Vwap || q.Open || q.ChangePercent || q.Name);
    EXPECT_EQ(q.PriceTime, "");
    EXPECT_FALSE(ReadQuote(Object(R"({"CurrentPrice":1.0})"), q));
    EXPECT_FALSE(ReadQuote(Object(R"({"Symbol":7203})"), q));

    // The figures' texts: floors for prices, the API's own reals for the rest.
    EXPECT_EQ(kestrel::feed::KabuSource::Floor(2408.9), "2408");
    EXPECT_EQ(kestrel::feed::KabuSource::Floor(-0.5), "-1");
    EXPECT_EQ(kestrel::feed::KabuSource::Real(2394.4262), "2394.4262");
    EXPECT_EQ(kestrel::feed::KabuSource::Real(-0.18), "-0.18");
    EXPECT_EQ(kestrel::feed::KabuSource::Real(0.1 + 0.2), "0.30000000000000004");
}

TEST(KabuApi, TheMarginClassFromTheSymbolsFlags) {
    EXPECT_EQ(MarginClass(Object(R"({"MarginBuy":true,"MarginSell":true,"KCMarginBuy":true})")),
              "貸借");
    EXPECT_EQ(MarginClass(Object(R"({"MarginBuy":true,"MarginSell":false})")), "信用");
    EXPECT_EQ(MarginClass(Object(R"({"MarginBuy":false,"MarginSell":false,"KCMarginSell":true})")),
              "一般");
    EXPECT_EQ(MarginClass(Object(R"({"MarginBuy":false,"MarginSell":false})")), "");
    EXPECT_EQ(MarginClass(Object("{}")), "");
}

TEST(KabuApi, WhatAnAnswerMeans) {
    auto kind = [](int http, const char* body, const std::string& transport = {}) {
        return Classify(http, QByteArray(body), transport).Kind;
    };
    EXPECT_EQ(kind(200, R"({"ResultCode":0,"Token":"x"})"), Outcome::Ok);
    EXPECT_EQ(kind(200, "garbage"), Outcome::Failed);
    EXPECT_EQ(kind(401, R"({"Code":4001013,"Message":"トークン取得失敗"})"),
              Outcome::WrongPassword);
    EXPECT_EQ(kind(401, R"({"Code":4001007,"Message":"ログイン認証エラー"})"),
              Outcome::NotLoggedIn);
    EXPECT_EQ(kind(401, R"({"Code":4001017,"Message":""})"), Outcome::NotLoggedIn);
    EXPECT_EQ(kind(400, R"({"Code":4001008,"Message":"API利用不可"})"), Outcome::NotLoggedIn);
    EXPECT_EQ(kind(401, R"({"Code":4001009,"Message":"APIキー不一致"})"), Outcome::TokenInvalid);
    EXPECT_EQ(kind(401, ""), Outcome::TokenInvalid);
    EXPECT_EQ(kind(429, R"({"Code":4001006,"Message":"API実行回数エラー"})"), Outcome::RateLimited);
    EXPECT_EQ(kind(429, ""), Outcome::RateLimited);
    EXPECT_EQ(kind(400, R"({"Code":4002006,"Message":"レジスト数エラー"})"), Outcome::CapReached);
    EXPECT_EQ(kind(400, R"({"Code":4001018,"Message":""})"), Outcome::Refused);
    EXPECT_EQ(kind(400, R"({"Code":4001019,"Message":""})"), Outcome::Refused);
    EXPECT_EQ(kind(400, R"({"Code":4002001,"Message":"銘柄が見つからない"})"),
              Outcome::UnknownSymbol);
    EXPECT_EQ(kind(400, "<h2>Bad Request - Invalid Hostname</h2>"), Outcome::HostRefused);
    EXPECT_EQ(kind(500, R"({"Code":4001001,"Message":"内部エラー"})"), Outcome::Failed);
    const Answer refused = Classify(0, {}, "Connection refused");
    EXPECT_EQ(refused.Kind, Outcome::Unreachable);
    EXPECT_EQ(refused.Message, "Connection refused");
}

TEST(KabuApi, RetriesWaitTwiceAsLongUpToTheLongest) {
    Backoff b(1000, 60000);
    std::vector<int> waits;
    for (int i = 0; i < 9; ++i) waits.push_back(b.Next());
    EXPECT_EQ(waits, (std::vector<int>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));
    b.Reset();
    EXPECT_EQ(b.Next(), 1000);
    for (int i = 0; i < 100; ++i) b.Next();  // no overflow however long it fails
    EXPECT_EQ(b.Next(), 60000);
}

TEST(KabuApi, ThePasswordFileMustBeTheOwnersAlone) {
    TempDir dir;
    std::string password, error;
    const std::string file = dir.WriteBytes("pw", "abc123XYZ\r\nsecond line\n");
    chmod(file.c_str(), 0600);
    ASSERT_TRUE(ReadPasswordFile(file, password, error)) << error;
    EXPECT_EQ(password, "abc123XYZ");
    for (mode_t mode : {0640, 0604, 0620, 0660}) {
        chmod(file.c_str(), mode);
        EXPECT_FALSE(ReadPasswordFile(file, password, error)) << std::oct << mode;
        EXPECT_NE(error.find("chmod 600 " + file), std::string::npos) << error;
        EXPECT_EQ(error.find("abc123XYZ"), std::string::npos);
    }
    const std::string empty = dir.WriteBytes("empty", "\n");
    chmod(empty.c_str(), 0600);
    EXPECT_FALSE(ReadPasswordFile(empty, password, error));
    EXPECT_FALSE(ReadPasswordFile(dir.File("missing"), password, error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_FALSE(ReadPasswordFile(dir.Path(), password, error));
}
