// The stand-in's TDS codec on bytes alone: framing, requests, replies.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "standin_tds_builders.h"
#include "tds_codec.h"

namespace {

using namespace standin;
using namespace standintest;
namespace tds = standin::tds;

std::vector<tds::Request> Drain(tds::MessageReader& reader) {
    std::vector<tds::Request> out;
    while (std::optional<tds::Request> r = reader.Next()) out.push_back(std::move(*r));
    return out;
}

// Feeds `bytes` in the pieces that the cut positions give.
std::vector<tds::Request> ReadInPieces(std::string_view bytes, std::vector<std::size_t> cuts) {
    tds::MessageReader reader(1 << 20);
    std::size_t pos = 0;
    cuts.push_back(bytes.size());
    for (std::size_t cut : cuts) {
        reader.Feed(bytes.substr(pos, cut - pos));
        pos = cut;
    }
    return Drain(reader);
}

// --- Framing --------------------------------------------------------------------------------

TEST(TdsFraming, MessagesSurviveEveryWayOfSplittingTheStream) {
    const std::string batch = SqlBatch(u"select * from \u51ED\u8BC1 where kjnd='2016'") + std::string(2000, 'x');
    const std::string stream = Packets(0x01, batch, 512) + Packet(0x06, "") + Packets(0x03, "rpc-payload", 512);
    ASSERT_GT(stream.size(), 3 * 512u) << "the batch spans several packets";

    const auto check = [&](const std::vector<tds::Request>& got) {
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].type, tds::PacketType::SqlBatch);
        EXPECT_EQ(got[0].payload, batch);
        EXPECT_EQ(got[1].type, tds::PacketType::Attention);
        EXPECT_EQ(got[1].payload, "");
        EXPECT_EQ(got[2].type, tds::PacketType::Rpc);
        EXPECT_EQ(got[2].payload, "rpc-payload");
    };
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) check(ReadInPieces(stream, {cut}));
    std::vector<std::size_t> everyByte;
    for (std::size_t k = 1; k < stream.size(); ++k) everyByte.push_back(k);
    check(ReadInPieces(stream, everyByte));
}

TEST(TdsFraming, NothingIsReportedBeforeTheLastPacket) {
    tds::MessageReader reader(1 << 20);
    reader.Feed(Packet(0x01, "first half ", false));
    EXPECT_FALSE(reader.Next());
    reader.Feed(Packet(0x01, "second half"));
    const std::optional<tds::Request> r = reader.Next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->payload, "first half second half");
}

TEST(TdsFraming, PacketsThatNoClientSendsAreRejectedFromTheirHeader) {
    const auto header = [](std::uint8_t type, std::size_t length, std::uint8_t status = 1) {
        return std::string{static_cast<char>(type), static_cast<char>(status), static_cast<char>(length >> 8),
                           static_cast<char>(length & 0xFF), 0, 0, 1, 0};
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"length beyond the largest packet", header(0x01, 0xFFFF)},
        {"length shorter than the header", header(0x01, 7)},
        {"zero length", header(0x03, 0)},
        {"a reply sent to the server", header(0x04, 8)},
        {"unknown type", header(0x55, 8)},
        {"type changes within a message", Packet(0x01, "abc", false) + header(0x03, 8)},
        {"attention inside a message", Packet(0x01, "abc", false) + header(0x06, 8)},
    };
    for (const auto& [what, bytes] : cases) {
        tds::MessageReader reader(1 << 20);
        EXPECT_THROW(reader.Feed(bytes), tds::ProtocolError) << what;
    }
}

TEST(TdsFraming, MessagesOverTheLimitAreRejectedBeforeTheyComplete) {
    tds::MessageReader reader(1000);
    reader.Feed(Packet(0x01, std::string(600, 'a'), false));
    EXPECT_THROW(reader.Feed(Packet(0x01, std::string(600, 'b'), false).substr(0, 8)), tds::ProtocolError);
}

TEST(TdsFraming, RandomBytesNeverDoWorseThanAProtocolError) {
    std::mt19937 random(20160101);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(random() % 300, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        if (round % 2 == 0 && bytes.size() > 8) bytes[0] = "\x01\x03\x10\x12"[random() % 4];
        tds::MessageReader reader(4096);
        try {
            reader.Feed(bytes);
            for (const tds::Request& r : Drain(reader)) {
                EXPECT_LE(r.payload.size(), 4096u);
                switch (r.type) {
                case tds::PacketType::SqlBatch: tds::ParseSqlBatch(r.payload); break;
                case tds::PacketType::Rpc: tds::ParseRpc(r.payload); break;
                case tds::PacketType::Login7: tds::ParseLogin7(r.payload); break;
                case tds::PacketType::PreLogin: tds::CheckPreLogin(r.payload); break;
                default: break;
                }
            }
        } catch (const tds::ProtocolError&) {
        }
    }
}

// --- Requests -------------------------------------------------------------------------------

TEST(TdsLogin, Login7FieldsAreReadAndThePasswordUnscrambled) {
    LoginFields f;
    f.user = u"auditor";
    f.password = u"p@ss\u5BC6\u7801";
    f.host = u"WS-01";
    f.database = u"2016\u5E74\u4E61\u9547\u6570\u636E\u91C7\u96C6";
    f.packetSize = 8192;
    const tds::Login7 login = tds::ParseLogin7(Login7(f));
    EXPECT_EQ(login.tdsVersion, 0x74000004u);
    EXPECT_EQ(login.packetSize, 8192u);
    EXPECT_EQ(login.userName, "auditor");
    EXPECT_EQ(login.password, "p@ss密码");
    EXPECT_EQ(login.hostName, "WS-01");
    EXPECT_EQ(login.appName, "TSQL");
    EXPECT_EQ(login.language, "us_english");
    EXPECT_EQ(login.database, "2016年乡镇数据采集");
}

TEST(TdsLogin, TruncatedOrInconsistentLoginsAreProtocolErrors) {
    LoginFields f;
    f.database = u"master";
    const std::string full = Login7(f);
    for (std::size_t n = 0; n < full.size(); ++n) {
        std::string cut = full.substr(0, n);
        EXPECT_THROW(tds::ParseLogin7(cut), tds::ProtocolError) << "cut at " << n;
    }
    std::string badOffset = full;
    badOffset[36] = static_cast<char>(0xF0);  // host name beyond the record
    EXPECT_THROW(tds::ParseLogin7(badOffset), tds::ProtocolError);
    std::string hugeLength = full;
    hugeLength[3] = 0x7F;
    EXPECT_THROW(tds::ParseLogin7(hugeLength), tds::ProtocolError);
    f.tdsVersion = 0x71000001;
    EXPECT_THROW(tds::ParseLogin7(Login7(f)), tds::ProtocolError) << "TDS 7.1 is not served";
}

TEST(TdsLogin, PreLoginIsCheckedAndAnsweredWithoutEncryption) {
    EXPECT_NO_THROW(tds::CheckPreLogin(PreLogin()));
    std::string outside = PreLogin();
    outside[1] = 0x7F;  // VERSION option far beyond the message
    EXPECT_THROW(tds::CheckPreLogin(outside), tds::ProtocolError);
    EXPECT_THROW(tds::CheckPreLogin(PreLogin().substr(0, 12)), tds::ProtocolError) << "no terminator";

    const std::string reply = tds::PreLoginReply();
    // Option table: token, offset and length (big-endian); ENCRYPTION (1) must say 2, not supported.
    bool sawEncryption = false;
    for (std::size_t k = 0; static_cast<std::uint8_t>(reply[k]) != 0xFF; k += 5) {
        const std::size_t offset = (static_cast<std::uint8_t>(reply[k + 1]) << 8) | static_cast<std::uint8_t>(reply[k + 2]);
        const std::size_t length = (static_cast<std::uint8_t>(reply[k + 3]) << 8) | static_cast<std::uint8_t>(reply[k + 4]);
        ASSERT_LE(offset + length, reply.size());
        if (reply[k] == 1) {
            sawEncryption = true;
            EXPECT_EQ(length, 1u);
            EXPECT_EQ(reply[offset], 2);
        }
    }
    EXPECT_TRUE(sawEncryption);
}

TEST(TdsRequests, SqlBatchTextComesAfterAllHeaders) {
    EXPECT_EQ(tds::ParseSqlBatch(SqlBatch(u"create database Tarvex\u6570\u636E\u6574\u7406\r\n")),
              "create database Tarvex数据整理\r\n");
    EXPECT_EQ(tds::ParseSqlBatch(SqlBatch(u"emoji \U0001F600")), "emoji 😀") << "a surrogate pair";
    EXPECT_THROW(tds::ParseSqlBatch(SqlBatch(u"x") + "y"), tds::ProtocolError) << "odd length";
    std::string badHeaders = SqlBatch(u"select 1");
    badHeaders[0] = static_cast<char>(0xFF);
    EXPECT_THROW(tds::ParseSqlBatch(badHeaders), tds::ProtocolError);
}

std::string CursorOpenCall() {
    return RpcByNumber(tds::kSpCursorOpen) + IntParam(0, true, true) + NTextParam(u"select ztmc from GL_Ztcs") +
           IntParam(0x0008, true) + IntParam(0x2001, true) + IntParam(0, true);
}

TEST(TdsRequests, CursorOpenAsFreeTdsSendsIt) {
    const std::vector<tds::RpcCall> calls = tds::ParseRpc(AllHeaders() + CursorOpenCall());
    ASSERT_EQ(calls.size(), 1u);
    const tds::RpcCall& c = calls[0];
    EXPECT_EQ(c.procId, tds::kSpCursorOpen);
    ASSERT_EQ(c.params.size(), 5u);
    EXPECT_TRUE(c.params[0].output);
    EXPECT_TRUE(c.params[0].isNull);
    EXPECT_EQ(c.params[1].text, "select ztmc from GL_Ztcs");
    EXPECT_FALSE(c.params[1].output);
    EXPECT_EQ(c.params[2].integer, 8);
    EXPECT_EQ(c.params[3].integer, 0x2001);
    EXPECT_FALSE(c.params[4].isNull);
    EXPECT_EQ(c.params[4].integer, 0);
}

TEST(TdsRequests, NamedCallsBatchesAndTextParameterKinds) {
    std::string gbVarChar = ParamHead(u"@g", false);
    gbVarChar += std::string("\xA7\x40\x1F\x04\x08\xD0\x00\x00\x04\x00\xD5\xCB\xCC\xD7", 14);  // varchar, GB18030 账套
    std::string plp = ParamHead(u"@p", false);
    plp += std::string("\xE7\xFF\xFF\x04\x08\xD0\x00\x00", 8);
    plp += std::string("\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);  // unknown total length
    plp += std::string("\x02\x00\x00\x00", 4) + Ucs2(u"a") + std::string("\x04\x00\x00\x00", 4) + Ucs2(u"bc");
    plp += std::string(4, '\0');
    std::string nullText = ParamHead(u"", false) + std::string("\xE7\x40\x1F\x04\x08\xD0\x00\x00\xFF\xFF", 10);
    const std::string payload = AllHeaders() + RpcByName(u"sp_execute") + IntParam(7) + std::string("\xFF") +
                                RpcByNumber(tds::kSpExecuteSql) + NVarCharParam(u"@stmt", u"select 1") + gbVarChar +
                                plp + nullText;
    const std::vector<tds::RpcCall> calls = tds::ParseRpc(payload);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].procName, "sp_execute");
    EXPECT_EQ(calls[0].procId, 0);
    ASSERT_EQ(calls[0].params.size(), 1u);
    EXPECT_EQ(calls[0].params[0].integer, 7);
    ASSERT_EQ(calls[1].params.size(), 4u);
    EXPECT_EQ(calls[1].params[0].name, "@stmt");
    EXPECT_EQ(calls[1].params[0].text, "select 1");
    EXPECT_EQ(calls[1].params[1].text, "账套");
    EXPECT_EQ(calls[1].params[2].text, "abc");
    EXPECT_TRUE(calls[1].params[3].isNull);
}

TEST(TdsRequests, TruncatedOrUnknownRpcDataIsAProtocolError) {
    const std::string full = AllHeaders() + CursorOpenCall();
    for (std::size_t n = 0; n < full.size(); ++n) {
        // A cut between whole parameters is a valid shorter call; everything else must be refused.
        try {
            const std::vector<tds::RpcCall> calls = tds::ParseRpc(full.substr(0, n));
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_LT(calls[0].params.size(), 5u);
        } catch (const tds::ProtocolError&) {
        }
    }
    std::string unknownType = AllHeaders() + RpcByNumber(tds::kSpExecute) + ParamHead(u"", false) + "\x24";
    EXPECT_THROW(tds::ParseRpc(unknownType), tds::ProtocolError);
    std::string longerThanType = AllHeaders() + RpcByNumber(tds::kSpExecute) + ParamHead(u"", false) +
                                 std::string("\x26\x02\x04\x01\x02\x03\x04", 7);
    EXPECT_THROW(tds::ParseRpc(longerThanType), tds::ProtocolError);
    EXPECT_THROW(tds::ParseRpc(AllHeaders() + CursorOpenCall() + "\xFF"), tds::ProtocolError) << "separator at the end";
}

// --- Replies --------------------------------------------------------------------------------

struct Captured {
    std::vector<std::string> chunks;
    tds::ReplyWriter::Output Output() {
        return [this](std::string_view bytes) { chunks.emplace_back(bytes); };
    }
    std::string All() const {
        std::string out;
        for (const std::string& c : chunks) out += c;
        return out;
    }
};

struct ParsedPacket {
    std::uint8_t type, status;
    std::size_t length;
    std::uint16_t spid;
    std::uint8_t id;
    std::string payload;
};

std::vector<ParsedPacket> ParsePackets(const std::string& bytes) {
    std::vector<ParsedPacket> out;
    for (std::size_t pos = 0; pos < bytes.size();) {
        const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[pos + k]); };
        ParsedPacket p{b(0), b(1), static_cast<std::size_t>(b(2) << 8 | b(3)), static_cast<std::uint16_t>(b(4) << 8 | b(5)), b(6), {}};
        p.payload = bytes.substr(pos + 8, p.length - 8);
        out.push_back(p);
        pos += p.length;
    }
    return out;
}

std::string Payload(const std::string& bytes) {
    std::string out;
    for (const ParsedPacket& p : ParsePackets(bytes)) out += p.payload;
    return out;
}

std::vector<ColumnInfo> OneColumn(SqlType type, int length = 0, int precision = 0, int scale = 0) {
    ColumnInfo c;
    c.name = "c";
    c.type = type;
    c.length = length;
    c.precision = precision;
    c.scale = scale;
    return {c};
}

// The bytes of one ROW's single value.
std::string RowValue(const std::vector<ColumnInfo>& columns, const Value& v) {
    Captured out;
    tds::ReplyWriter writer(out.Output(), "test");
    writer.NoMetaData(columns);
    writer.Row({v});
    writer.End();
    const std::string payload = Payload(out.All());
    EXPECT_EQ(payload.substr(0, 4), std::string("\x81\xFF\xFF\xD1", 4)) << "COLMETADATA without columns, ROW";
    return payload.substr(4);
}

TEST(TdsReplies, MessagesAreSplitAtThePacketSizeWithEndOfMessageOnTheLastOnly) {
    Captured out;
    tds::ReplyWriter writer(out.Output(), "test");
    writer.SetPacketSize(512);
    writer.SetSpid(53);
    writer.ColMetadata(OneColumn(SqlType::VarChar, 100));
    for (int k = 0; k < 200; ++k) writer.Row({Value::Text("账套名称 " + std::to_string(k))});
    writer.Done(tds::DoneToken::Done, 0, tds::kCmdSelect, 200);
    writer.End();
    writer.Done(tds::DoneToken::Done, tds::kDoneAttention, 0, -1);
    writer.End();

    const std::vector<ParsedPacket> packets = ParsePackets(out.All());
    ASSERT_GE(packets.size(), 4u);
    std::size_t messageEnd = 0;
    while (packets[messageEnd].status != 1) ++messageEnd;
    EXPECT_EQ(messageEnd, packets.size() - 2) << "the first message ends with its last packet only";
    for (std::size_t k = 0; k < packets.size(); ++k) {
        EXPECT_EQ(packets[k].type, 0x04);
        EXPECT_LE(packets[k].length, 512u);
        EXPECT_EQ(packets[k].spid, 53);
        if (k < messageEnd) {
            EXPECT_EQ(packets[k].length, 512u) << "only the last packet is short";
        }
    }
    EXPECT_EQ(packets[0].id, 1);
    EXPECT_EQ(packets[1].id, 2);
    EXPECT_EQ(packets.back().id, 1) << "packet ids count per message";
    EXPECT_EQ(packets.back().payload, std::string("\xFD\x20\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 13));
    EXPECT_GT(out.chunks.size(), 2u) << "full packets go out before the message ends";
}

TEST(TdsReplies, EveryDoneButTheLastCarriesMore) {
    Captured out;
    tds::ReplyWriter writer(out.Output(), "test");
    writer.Done(tds::DoneToken::DoneInProc, 0, 0, 3);
    writer.ReturnStatus(0);
    writer.Done(tds::DoneToken::DoneProc, tds::kDoneError, tds::kCmdExecute, -1);
    writer.Done(tds::DoneToken::Done, 0, 0, -1);
    writer.End();
    const std::string p = Payload(out.All());
    const std::string expected = std::string("\xFF\x11\x00\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00", 13) +  // MORE|COUNT, 3
                                 std::string("\x79\x00\x00\x00\x00", 5) +
                                 std::string("\xFE\x03\x00\xE0\x00\x00\x00\x00\x00\x00\x00\x00\x00", 13) +  // MORE|ERROR
                                 std::string("\xFD\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 13);   // final
    EXPECT_EQ(p, expected);
}

TEST(TdsReplies, ValuesAreEncodedAsTheirColumnTypes) {
    const auto decimal = OneColumn(SqlType::Decimal, 0, 18, 2);
    EXPECT_EQ(RowValue(decimal, Value::Text("1234.56")), std::string("\x09\x01\x40\xE2\x01\x00\x00\x00\x00\x00", 10));
    EXPECT_EQ(RowValue(decimal, Value::Text("-0.125")), std::string("\x09\x00\x0D\x00\x00\x00\x00\x00\x00\x00", 10))
        << "rounded half away from zero";
    EXPECT_EQ(RowValue(decimal, Value::Float(1234.5)), std::string("\x09\x01\x3A\xE2\x01\x00\x00\x00\x00\x00", 10));
    EXPECT_EQ(RowValue(decimal, Value::Int(7)), std::string("\x09\x01\xBC\x02\x00\x00\x00\x00\x00\x00", 10));
    EXPECT_EQ(RowValue(decimal, Value::Text("not a number")), std::string("\x00", 1));
    EXPECT_EQ(RowValue(OneColumn(SqlType::Decimal, 0, 5, 2), Value::Text("1234.56")), std::string("\x00", 1))
        << "too many digits for decimal(5,2)";

    const auto datetime = OneColumn(SqlType::DateTime);
    // 2016-01-01 is day 42368 after 1900-01-01; 12:34:56.789 is 13589037 three-hundredths.
    EXPECT_EQ(RowValue(datetime, Value::Text("2016-01-01 12:34:56.789")),
              std::string("\x08\x80\xA5\x00\x00\x2D\x5A\xCF\x00", 9));
    EXPECT_EQ(RowValue(datetime, Value::Text("1900-01-01")), std::string("\x08\0\0\0\0\0\0\0\0", 9));
    EXPECT_EQ(RowValue(datetime, Value::Text("1899-12-31 23:59:59.999")), std::string("\x08\0\0\0\0\0\0\0\0", 9))
        << "rounds up into the next day";
    EXPECT_EQ(RowValue(datetime, Value::Text("2016-13-01")), std::string("\x00", 1));

    const auto varchar = OneColumn(SqlType::VarChar, 20);
    EXPECT_EQ(RowValue(varchar, Value::Text("账套")), std::string("\x04\x00\xD5\xCB\xCC\xD7", 6)) << "GB18030";
    EXPECT_EQ(RowValue(varchar, Value::Int(42)), std::string("\x02\x00" "42", 4));
    EXPECT_EQ(RowValue(varchar, Value::Null()), std::string("\xFF\xFF", 2));
    EXPECT_EQ(RowValue(OneColumn(SqlType::NVarChar, 10), Value::Text("账")), std::string("\x02\x00\x26\x8D", 4));

    EXPECT_EQ(RowValue(OneColumn(SqlType::Int), Value::Int(-2)), std::string("\x04\xFE\xFF\xFF\xFF", 5));
    EXPECT_EQ(RowValue(OneColumn(SqlType::Int), Value::Text("2016")), std::string("\x04\xE0\x07\x00\x00", 5));
    EXPECT_EQ(RowValue(OneColumn(SqlType::Int), Value::Int(1LL << 40)), std::string("\x00", 1)) << "out of range";
    EXPECT_EQ(RowValue(OneColumn(SqlType::TinyInt), Value::Int(255)), std::string("\x01\xFF", 2));
    EXPECT_EQ(RowValue(OneColumn(SqlType::BigInt), Value::Int(1LL << 40)), std::string("\x08\0\0\0\0\0\x01\0\0", 9));
    EXPECT_EQ(RowValue(OneColumn(SqlType::Bit), Value::Int(5)), std::string("\x01\x01", 2));
    EXPECT_EQ(RowValue(OneColumn(SqlType::Float), Value::Float(1.5)), std::string("\x08\0\0\0\0\0\0\xF8\x3F", 9));
    EXPECT_EQ(RowValue(OneColumn(SqlType::Real), Value::Float(1.5)), std::string("\x04\0\0\xC0\x3F", 5));
}

TEST(TdsReplies, ColumnDescriptionsUseTheChineseCollationForCharacterColumns) {
    Captured out;
    tds::ReplyWriter writer(out.Output(), "test");
    std::vector<ColumnInfo> columns = OneColumn(SqlType::VarChar, 30);
    columns[0].name = "ztmc";
    columns.push_back(OneColumn(SqlType::Decimal, 0, 18, 2)[0]);
    columns.back().nullable = false;
    writer.ColMetadata(columns);
    writer.End();
    const std::string expected = std::string("\x81\x02\x00", 3) +
                                 std::string("\0\0\0\0\x09\x00\xA7\x1E\x00\x04\x08\xD0\x00\x00\x04", 15) + Ucs2(u"ztmc") +
                                 std::string("\0\0\0\0\x08\x00\x6A\x09\x12\x02\x01", 11) + Ucs2(u"c");
    EXPECT_EQ(Payload(out.All()), expected);
}

}  // namespace
