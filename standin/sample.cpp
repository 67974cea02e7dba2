// The samples of the restored accounting database "2016年乡镇数据采集", for the integration
// tests, the demo and the benchmarks: the default one, and a larger township one for converting
// many account sets in one go. Both have the same tables, column types and kinds of rows; they
// differ in their units, account sets and years.
//
// The default sample. Three accounting units, two account sets each, fiscal years 2015, 2016
// and 2017:
//   unit 001 "城关镇人民政府（新科目）":  001 "演示账套",  011 "城关镇工会账套"
//   unit 002 "河西乡人民政府新科目":      002 "演示账套2", 012 "河西乡专项资金账套"
//   unit 003 "东山乡卫生院":              003 "旧制度账套", 013 "东山乡食堂账套"
// so that "演示账套" is contained in "演示账套2", and the units 001 and 002 have "新科目" in their
// name (hsdwmc) while 003 does not. Units 001 and 002 use the chart of accounts of the new
// government accounting system (four-digit codes), unit 003 the old one (three-digit codes).
//
// Tables: GL_Ztcs (the account-set table; the catalogue's GL_ZTCS) and the other 33 source
// tables of the table catalogue, each with every column that its copy statement names except
// the constant columns. Types: varchar for codes and names (gsdm varchar(10), zth and ztbh
// varchar(3), kjnd varchar(4) such as '2016', kjqj varchar(6) such as '201601'), int for
// numbers and sequence numbers, decimal(18,2) for amounts, decimal(18,6) for rates, prices and
// quantities, datetime for dates. Key columns are NOT NULL; other columns hold some NULLs.
//
// Rows, for scale N (counts at scale 1 of the default sample in brackets):
//   GL_Ztcs: one per unit, account set and year [18].
//   GL_KMXX: the unit's accounts (12 or 8) per account set and year [192].
//   PUBKJQJ: twelve periods per account set and year [216].
//   GL_PZML: 4*N vouchers per account set and period [864]; voucher numbers pzh 1..4*N per
//     account set and period; one or two debit lines and one credit line each, so that the
//     debits and credits of every voucher balance; pzje is the voucher's total.
//   GL_PZNR: the voucher lines, account codes from GL_KMXX [2,052; about a million at 500].
//   GL_PZFLMX: one department detail per voucher line [2,052]; GL_PZFLMX_BK: those of the
//     voucher numbers 1, 4, 7, ... [1,025].
//   GL_WLYW: one counterparty item per line on a receivable or payable account [303].
//   GL_YEB and GL_YEBK: per unit, account set, year and account with movements: monthly
//     debit (yj1..yj12) and credit (yd1..yd12) totals of the vouchers, opening balances (ncj,
//     ncd) carried from the year before [150 each].
//   Every other table: two rows per unit, and per account set and year where the table has
//     those columns [6 to 36].
//
// The township sample ("--sample township"). Thirteen units, fiscal years 2014 to 2018, the
// account sets of each unit numbered 001, 002, ... (so numbers repeat across units):
//   101 "城关镇人民政府（新科目）":  001 "城关镇机关账套", 002 "工会账套", 003 "专项资金账套"
//   102 "河西乡人民政府新科目":      001 "河西乡机关账套", 002 "工会账套", 003 "专项资金"
//   103 "东山乡人民政府（新科目）":  001 "东山乡机关账套", 002 "工会账套", 003 "东山乡代管资金账套"
//   104 "南岭镇人民政府（新科目）":  001 "南岭镇机关账套", 002 "食堂账套", 003 "南岭镇财政所账套"
//   105 "北湖乡人民政府（新科目）":  001 "北湖乡机关账套", 002 "北湖乡扶贫资金账套"
//   106 "西坪镇人民政府（新科目）":  001 "西坪镇机关账套", 002 "食堂账套", 003 "西坪镇社保资金账套"
//   107 "红旗乡人民政府（新科目）":  001 "红旗乡机关账套", 002 "红旗乡村级代理账套"; books from 2015 on
//   108 "清水镇人民政府新科目":      001 "清水镇机关账套", 002 "清水镇经费账套", 003 "清水镇党建经费账套"
//   109 "金山镇人民政府（新科目）":  001 "金山镇机关账套", 002 "金山镇国库集中支付账套", 003 "金山镇基建账套"
//   110 "长乐乡人民政府（新科目）":  001 "长乐乡机关账套", 002 "长乐乡扶贫资金账套"
//   111 "青石镇卫生院":              001 "青石镇卫生院账套", 002 "食堂账套"
//   112 "白沙乡中心学校":            001 "白沙乡中心学校账套"
//   113 "马坪镇敬老院":              001 "马坪镇敬老院账套"
// Units 101 to 110 have "新科目" in their name and the new chart of accounts: their 27 account
// sets can be converted, 27 in each year but 2014, which has 25: unit 107 has no GL_Ztcs row and
// no rows in any table that has a year for 2014. Units 111 to 113 (old chart) cannot. "工会账套"
// is the name of an account set in three units, "食堂账套" in three (one of them, 111, not
// convertible), and "专项资金" is contained in "专项资金账套"; no other name contains another.
// Every account set has, in each of its years, rows in every table as the default sample has
// them per account set and year [GL_Ztcs 153 rows, GL_PZML 7,344, GL_PZNR 17,216 at
// scale 1].
//
// Generation runs in one transaction with prepared statements and without a journal; scale
// 500 (about a million voucher lines) takes seconds.

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine.h"
#include "sql_sqlite.h"
#include "sql_text.h"
#include "sql_translate.h"

namespace standin {
namespace {

constexpr std::string_view kDatabase = "2016年乡镇数据采集";
constexpr int kVouchersPerPeriod = 4;  // per account set, times the scale
constexpr int kRowsPerGroup = 2;       // rows of an ordinary table per unit / account set / year

struct TableDefinition {
    const char* name;
    const char* columns;  // separated by blanks
};

// The source tables with the columns their copy statements read.
constexpr TableDefinition kTables[] = {
    {"DWYS_TZDLX", "BZ GSDM JL_RQ JLR_ID SFLRZFFS SFMX SFSCPZ SFSZ SYZT TZLXDM TZLXMC TZXZ XG_RQ XGR_ID ZJM"},
    {"GL_BZ", "BZ1 BZ2 BZ3 BZ4 BZ5 GSDM ZTH"},
    {"GL_DLZGSML", "GSDM GSID gsmc syzt zbgs zkdm zkfs zklx ZTH"},
    {"GL_DLZGSNR", "Col ColCaption ColName ColWidth DataDec DataWidth GSDM GSID kmdm zkfx ZTH"},
    {"GL_FZXLB",
     "bz gsdm Jl_RQ Jlr_ID kjnd lbdm lbfj lbmc lbName sflx SFQY SFYGKZ SFYZ SFZDY Sjly syzt "
     "Xg_RQ Xgr_ID"},
    {"GL_JZMBML", "gsdm jzpc kjnd mbdm mbmc pzlx sfjz sfyz zrkm zth"},
    {"GL_JZMBNR",
     "flh fzdm0 fzdm1 fzdm10 fzdm2 fzdm3 fzdm4 fzdm5 fzdm6 fzdm7 fzdm8 fzdm9 gsdm jzkjkm kjnd "
     "mbdm qskjkm sfjz zcbfb zcfx zrkm zth"},
    {"GL_KMMXFL", "GSDM kmmxlb kmmxlbmc kmxz ZTH"},
    {"GL_KMXX",
     "acc_na dfmax fzhs fzsm gsdm jfmax JL_RQ JLR_ID kjnd kmbz kmdm kmdw kmgs kmhdfx kmjx kmlb "
     "kmmc kmmx kmmxlb kmpz kmqx kmslxsws kmsyfx kmxz Sjly syzcfs syzt XG_RQ XGR_ID yefx yemax "
     "zdyfzhs zjm ZTH"},
    {"GL_KMXZLX", "gsdm lxdm lxmc zth"},
    {"GL_PZFLMX", "flh fzdm gsdm je kjqj mxlx mxxh pzh pzly ZTH"},
    {"GL_PZFLMX_BK", "flh fzdm gsdm je kjqj mxlx mxxh pzh pzly ZTH"},
    {"GL_PZLX",
     "gsdm Jl_RQ Jlr_ID pzbwkm_1 pzbwkm_2 pzbykm_1 pzbykm_2 pzdfkm_1 pzdfkm_2 pzjfkm_1 "
     "pzjfkm_2 pzlxdm pzlxjc pzlxmc syzt Xg_RQ Xgr_ID zjm ZTH"},
    {"GL_PZML",
     "BZ CN fjzs gsdm idpzh jsr jzr jzrID jzrq kjqj kjzg pzh pzhzbz pzhzkmdy pzje pzly pzrq "
     "pzzy sh shID shrq sr srID srrq zt ZTH"},
    {"GL_PZNR",
     "bmdm cess dj flh fphfw1 fphfw2 fplx fprq fzdm10 fzdm4 fzdm5 fzdm6 fzdm7 fzdm8 fzdm9 "
     "fzsm1 fzsm2 fzsm3 fzsm4 fzsm5 fzsm6 fzsm7 fzsm8 fzsm9 gsdm hl IDPZNR jdbz je jsfs kjqj "
     "kmdm pzh pzly sl spz wbdm wbje wldm wldrq xmdm ZTH zy zydm"},
    {"GL_PZZY",
     "bmdm fzdm10 fzdm4 fzdm5 fzdm6 fzdm7 fzdm8 fzdm9 grdm gsdm kjnd kmdm wldm xmdm zjm ZTH "
     "zydm zynr"},
    {"GL_TZDLX", "GSDM SYZT TZLXDM TZLXMC"},
    {"GL_WLKM", "GSDM kjnd kmdm wldm wllx ZTH"},
    {"GL_WLYW",
     "bmdm dj dzbz dzrq flh fzdm1 FZDM10 fzdm2 FZDM4 FZDM5 FZDM6 FZDM7 FZDM8 FZDM9 gsdm hl "
     "hxsj IDPZNR jd je jjzcdm jsr kjqj kmdm pzh pzly pzrq sl wbdm wbje wldm wldrq xh xmdm "
     "yspz ZBID ZTH zy zydm"},
    {"GL_XJLLXM", "bz gsdm Jl_RQ Jlr_ID kjnd sfmx Sjly syzt Xg_RQ Xgr_ID xjdm xjlx xjmc zjm"},
    {"GL_XMKM", "gsdm kjnd kmdm xmdm ZTH"},
    {"GL_XMZL",
     "BM BMDM GSDM ISJBZC JL_RQ JLR_ID JSRQ KJND KSRQ KZFS LXND PROJOBJID REN SFJT SFMX SJLY "
     "SYZT XG_RQ XGR_ID XMDM XMFL XMMC ZDXMBZ ZJLY ZJM ZY"},
    {"GL_YEB",
     "fzdm0 fzdm1 fzdm10 fzdm2 fzdm3 fzdm4 fzdm5 fzdm6 fzdm7 fzdm8 fzdm9 gsdm ID kjnd kmdm ncd "
     "ncj wbdm yd1 yd10 yd11 yd12 yd13 yd2 yd3 yd4 yd5 yd6 yd7 yd8 yd9 yeblx yj1 yj10 yj11 "
     "yj12 yj13 yj2 yj3 yj4 yj5 yj6 yj7 yj8 yj9 zdydm zdylb ZTH"},
    {"GL_YEBK",
     "fzdm0 fzdm1 fzdm10 fzdm2 fzdm3 fzdm4 fzdm5 fzdm6 fzdm7 fzdm8 fzdm9 gsdm ID kjnd kmdm ncd "
     "ncj wbdm yd1 yd10 yd11 yd12 yd13 yd2 yd3 yd4 yd5 yd6 yd7 yd8 yd9 yeblx yj1 yj10 yj11 "
     "yj12 yj13 yj2 yj3 yj4 yj5 yj6 yj7 yj8 yj9 zdydm zdylb ZTH"},
    {"GL_YHZH", "bcye bdje bjje gsdm kjnd kmmc rq ydje yhye yjje zh ZTH"},
    {"GL_YSKMLB", "gsdm lbdm lbmc"},
    {"GL_ZDFL",
     "bds bds_sl bds_wb bmdm bz flh flxh fzdm10 fzdm4 fzdm5 fzdm6 fzdm7 fzdm8 fzdm9 GroupId "
     "gsdm IsJZ jd kjnd kmdm mxflh OrderNo pzlx PZLY RATE rq wldm xh xmdm yq ZBID ZDName "
     "zdy1dm zdy2dm zdy3dm zdy4dm zdy5dm ZTH zy zydm"},
    {"GL_ZDFLMX", "fzdm gsdm jegs kjnd mxflh mxlx mxxh zdflh ZTH"},
    {"GL_Ztcs",
     "anyibz bbpath Bkdbh BKDDataQXQY Bkdfs BKDSCPZ BKDTD BKDXSSJKM BKDXSZHMC BKDXYFSCZ BKHSKM "
     "BKPZLX BKYHKMYZ bmbmfa bwbbf bwbdm bwbdw bwbjd bwbmc BZDW CNQZKM CS1 CS2 CS3 CS4 CS5 "
     "cwzg DELMAXDH DJSH DJXG djxsws dqbmfa dwbmfa DYBZ DZKDM FlowControl Gkjzzf GKKSBMFA "
     "gsbmfa HeadBKDH hllx hsdwdm hsdwmc JHSH kjnd kjqjs kmbmfa kmzbmfa KZFS KZQJ KZYJ Lrzy "
     "Maxzdycount mjxsxsws NeedJfzb NeedYskm pzbtdf PZFJPath pzygkz qykjqj sfyjz sjkzbz SJLY "
     "SJSJ slxsws SZQXKZ TSXKZ wbhs wjsjlj WJZ xjbmfa xmbmfa YBJSY YBKSY YKJHCS YKJHFS "
     "ykjhyskm yskz yspzkz YZKM ZBKZ ZBKZMB ZBQYRQ ZDYFZYSKZCS ZDYFZYSLBDM Zfpzbh ZFSCBKD ZPHS "
     "Zpscbk ztbh ztkz ztlb ztmc ztmce ZTSX"},
    {"PUBBMXX",
     "bmdm bmlb bmmc fzrdm gsdm Jl_RQ Jlr_ID kjnd SFMX Sjly syzt tel Xg_RQ Xgr_ID xjbms zgrs "
     "zjm"},
    {"PUBGSZL",
     "bizh bz cwemail cwlxr cwtel DistrictCode dwwb email fax frdbxm GKJZZF gsdm gsmc gsmc_f "
     "gsqc http hymc Jl_RQ Jlr_ID jyfw jym khyh kjnd lxrxm qgbemail qgblxr qgbtel qydm syzt "
     "tel txdz UnitCharatcter UnitType webuse Xg_RQ Xgr_ID xxemail xxlxr xxtel yb yyzh zgbl "
     "zgrs zh zzsh"},
    {"PUBKJQJ", "chjzbz gsdm jsrq jzbz kjnd kjqjxh qmpzpc qsrq syzt xgzt ZTH zzqmcl"},
    {"PUBKSZL",
     "BEM_DWJB bizh bz bzbz1 bzbz2 bzbz3 bzbz4 bzbz5 bzbz6 bzbz7 bzly bzSYzt cwfzr dqdm dwdm "
     "dwfzr dwgbm dwjb dwjbr dwmc dwqc dwwb dwxz dyckkm dyckzh dysjk dyyhckzh dyyhxjzh "
     "dyzwztckkm dyzwzth dyzwztmc email fax frdbxm GKJZZF gsdm HKFS http JL_RQ JLR_ID jyfw jym "
     "khyh kjnd lxrxm MAXDJSQJE MAXRSQJE MAXSQJEBL MQKPBZ PJMAXSL sfcj sfgys sfjtndw sfkh SFMX "
     "sftzjy sfxykz sfysdw sh sjdwdm sjlbdm Sjly SQYHDM SQYHMC syzt tel txdz UnitType "
     "WebMemberID XG_RQ XGR_ID xyed xyts yb yfzkkmdm YHBM yszkkmdm yufzkkmdm yuszkkmdm yyzh zh "
     "ZJYHDM ZJYHMC zzsh"},
    {"PUBZYXX",
     "bmdm bz csny DFYH dzrq email GLzt GRZH gsdm GWKYH GWKZH JL_RQ JLR_ID jtzz kjnd lzrq "
     "password scgzzn sfzh Sjly syzt tel whcd xb XG_RQ XGR_ID zjm zw zydm zylb zyxm zyzp"},
};

struct Account {
    const char* code;
    const char* name;
    bool debitSide;     // the balance normally stands on the debit side
    bool counterparty;  // receivables and payables, itemised in GL_WLYW
};

// Chart of accounts of the new government accounting system (units 001, 002).
constexpr Account kNewAccounts[] = {
    {"1001", "库存现金", true, false},
    {"1002", "银行存款", true, false},
    {"1011", "零余额账户用款额度", true, false},
    {"1212", "应收账款", true, true},
    {"1214", "预付账款", true, true},
    {"2302", "应付账款", false, true},
    {"2307", "其他应付款", false, true},
    {"3001", "累计盈余", false, false},
    {"4001", "财政拨款收入", false, false},
    {"4609", "其他收入", false, false},
    {"5001", "业务活动费用", true, false},
    {"5101", "单位管理费用", true, false},
};

// Chart of accounts of the old system (unit 003).
constexpr Account kOldAccounts[] = {
    {"101", "现金", true, false},
    {"102", "银行存款", true, false},
    {"121", "应收账款", true, true},
    {"203", "应付账款", false, true},
    {"301", "事业基金", false, false},
    {"401", "财政补助收入", false, false},
    {"501", "事业支出", true, false},
    {"505", "经营支出", true, false},
};

// A kind of voucher: what it says, the accounts debited (one or two) and the account credited.
struct VoucherPattern {
    const char* summary;
    std::array<const char*, 2> debits;  // the second may be null
    const char* credit;
};

constexpr VoucherPattern kNewPatterns[] = {
    {"收到财政拨款", {"1011", nullptr}, "4001"}, {"支付办公费及差旅费", {"5001", "5101"}, "1011"},
    {"提取备用金", {"1001", nullptr}, "1002"},   {"购买办公用品未付款", {"5001", nullptr}, "2302"},
    {"收回应收款", {"1002", nullptr}, "1212"},   {"收到其他收入", {"1002", "1001"}, "4609"},
};

constexpr VoucherPattern kOldPatterns[] = {
    {"收到财政补助", {"102", nullptr}, "401"}, {"支付事业及经营支出", {"501", "505"}, "102"},
    {"提取现金", {"101", nullptr}, "102"},     {"购买材料未付款", {"501", nullptr}, "203"},
    {"收回应收款", {"102", "101"}, "121"},
};

struct AccountSet {
    const char* code;
    const char* name;
};

struct Unit {
    const char* code;
    const char* name;
    std::vector<AccountSet> sets;
    std::span<const Account> accounts;
    std::span<const VoucherPattern> patterns;
    int since = 0;  // the first fiscal year the unit keeps books for; 0: all of the sample's years
};

// A sample's units and fiscal years.
struct Shape {
    std::vector<Unit> units;
    int firstYear;
    int lastYear;

    // Whether `unit` has its account sets, and their rows, in `year`.
    static bool Keeps(const Unit& unit, int year) { return year >= unit.since; }
};

Shape DefaultShape() {
    return {{{"001", "城关镇人民政府（新科目）", {{"001", "演示账套"}, {"011", "城关镇工会账套"}}, kNewAccounts,
              kNewPatterns},
             {"002", "河西乡人民政府新科目", {{"002", "演示账套2"}, {"012", "河西乡专项资金账套"}}, kNewAccounts,
              kNewPatterns},
             {"003", "东山乡卫生院", {{"003", "旧制度账套"}, {"013", "东山乡食堂账套"}}, kOldAccounts,
              kOldPatterns}},
            2015,
            2017};
}

// Units whose name has "新科目" keep the new chart of accounts, the others the old one.
Unit TownshipUnit(const char* code, const char* name, std::vector<AccountSet> sets, int since = 0) {
    const bool converted = std::string_view(name).find("新科目") != std::string_view::npos;
    Unit unit{code, name, std::move(sets), kOldAccounts, kOldPatterns, since};
    if (converted) {
        unit.accounts = kNewAccounts;
        unit.patterns = kNewPatterns;
    }
    return unit;
}

Shape TownshipShape() {
    return {{TownshipUnit("101", "城关镇人民政府（新科目）",
                          {{"001", "城关镇机关账套"}, {"002", "工会账套"}, {"003", "专项资金账套"}}),
             TownshipUnit("102", "河西乡人民政府新科目",
                          {{"001", "河西乡机关账套"}, {"002", "工会账套"}, {"003", "专项资金"}}),
             TownshipUnit("103", "东山乡人民政府（新科目）",
                          {{"001", "东山乡机关账套"}, {"002", "工会账套"}, {"003", "东山乡代管资金账套"}}),
             TownshipUnit("104", "南岭镇人民政府（新科目）",
                          {{"001", "南岭镇机关账套"}, {"002", "食堂账套"}, {"003", "南岭镇财政所账套"}}),
             TownshipUnit("105", "北湖乡人民政府（新科目）",
                          {{"001", "北湖乡机关账套"}, {"002", "北湖乡扶贫资金账套"}}),
             TownshipUnit("106", "西坪镇人民政府（新科目）",
                          {{"001", "西坪镇机关账套"}, {"002", "食堂账套"}, {"003", "西坪镇社保资金账套"}}),
             TownshipUnit("107", "红旗乡人民政府（新科目）",
                          {{"001", "红旗乡机关账套"}, {"002", "红旗乡村级代理账套"}}, 2015),
             TownshipUnit("108", "清水镇人民政府新科目",
                          {{"001", "清水镇机关账套"}, {"002", "清水镇经费账套"}, {"003", "清水镇党建经费账套"}}),
             TownshipUnit("109", "金山镇人民政府（新科目）",
                          {{"001", "金山镇机关账套"}, {"002", "金山镇国库集中支付账套"}, {"003", "金山镇基建账套"}}),
             TownshipUnit("110", "长乐乡人民政府（新科目）",
                          {{"001", "长乐乡机关账套"}, {"002", "长乐乡扶贫资金账套"}}),
             TownshipUnit("111", "青石镇卫生院", {{"001", "青石镇卫生院账套"}, {"002", "食堂账套"}}),
             TownshipUnit("112", "白沙乡中心学校", {{"001", "白沙乡中心学校账套"}}),
             TownshipUnit("113", "马坪镇敬老院", {{"001", "马坪镇敬老院账套"}})},
            2014,
            2018};
}

constexpr const char* kCounterparties[] = {"0001", "0002", "0003", "0004", "0005"};
constexpr const char* kClerks[] = {"张会计", "李会计", "王出纳"};

enum class Kind { Key, Code, Text, Int, Amount, Rate, Date };

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool In(std::string_view s, std::initializer_list<std::string_view> set) {
    for (std::string_view x : set)
        if (s == x) return true;
    return false;
}

// yd1..yd13, yj1..yj13: monthly credit and debit totals.
bool IsMonthlyTotal(std::string_view s) {
    return s.size() >= 3 && (s.substr(0, 2) == "yd" || s.substr(0, 2) == "yj") &&
           s.find_first_not_of("0123456789", 2) == std::string_view::npos;
}

Kind KindOf(std::string_view folded) {
    if (In(folded, {"gsdm", "hsdwdm", "zth", "ztbh", "kjnd", "kjqj"})) return Kind::Key;
    if (EndsWith(folded, "rq") || In(folded, {"csny", "hxsj"})) return Kind::Date;
    if (In(folded, {"flh",      "mxxh",      "xh",          "flxh",     "fjzs",  "kjqjxh", "col",    "colwidth",
                    "datadec",  "datawidth", "kmjx",        "zgrs",     "xjbms", "kjqjs",  "djxsws", "slxsws",
                    "mjxsxsws", "kmslxsws",  "maxzdycount", "delmaxdh", "idpzh", "idpznr", "id",     "orderno",
                    "mxflh",    "zdflh",     "xyts",        "pjmaxsl",  "pzh",   "jzpc",   "qmpzpc"})) {
        return Kind::Int;
    }
    if (IsMonthlyTotal(folded) ||
        In(folded, {"je", "wbje", "pzje", "ncd", "ncj", "bcye", "bdje", "bjje", "ydje", "yhye", "yjje", "jfmax",
                    "dfmax", "yemax", "xyed", "maxdjsqje", "maxrsqje"})) {
        return Kind::Amount;
    }
    if (In(folded, {"hl", "rate", "sl", "dj", "cess", "zcbfb", "maxsqjebl", "zgbl"})) return Kind::Rate;
    if (EndsWith(folded, "dm")) return Kind::Code;
    return Kind::Text;
}

std::string SampleType(std::string_view folded, Kind kind) {
    switch (kind) {
    case Kind::Key:
        if (folded == "kjnd") return "varchar(4)";
        if (folded == "kjqj") return "varchar(6)";
        if (folded == "zth" || folded == "ztbh") return "varchar(3)";
        return "varchar(10)";
    case Kind::Code: return "varchar(20)";
    case Kind::Text: return "varchar(100)";
    case Kind::Int: return "int";
    case Kind::Amount: return "decimal(18,2)";
    case Kind::Rate: return "decimal(18,6)";
    case Kind::Date: return "datetime";
    }
    return "varchar(100)";
}

std::string Date(int year, int month, int day) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d 00:00:00.000", year, month, day);
    return text;
}

std::string Period(int year, int month) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d", year, month);
    return text;
}

int DaysIn(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && year % 4 == 0 ? 29 : kDays[month - 1];
}

// Where a row belongs: unit, account set, year and month where the table has them.
struct RowContext {
    const Unit* unit = nullptr;
    const AccountSet* set = nullptr;
    int year = 0;
    int month = 0;
    int row = 0;  // within its group
};

// Inserts rows into one table through one prepared statement. Bindings stay in place between
// rows, so columns that never change are bound once.
class TableWriter {
public:
    struct Column {
        std::string name;
        std::string folded;
        Kind kind;
    };

    TableWriter(sqlite3* db, const TableDefinition& table) : db_(db) {
        std::string_view list = table.columns;
        while (!list.empty()) {
            const size_t blank = list.find(' ');
            const std::string name(list.substr(0, blank));
            const std::string folded = FoldCase(name);
            columns_.push_back({name, folded, KindOf(folded)});
            list = blank == std::string_view::npos ? std::string_view() : list.substr(blank + 1);
        }
        std::string create = "CREATE TABLE " + QuoteName(table.name) + " (";
        std::string insert = "INSERT INTO " + QuoteName(table.name) + " VALUES (";
        for (size_t k = 0; k < columns_.size(); ++k) {
            const Column& c = columns_[k];
            create += (k ? ", " : "") + QuoteName(c.name) + " " + SampleType(c.folded, c.kind) +
                      (c.kind == Kind::Key ? " NOT NULL" : "");
            insert += k ? ", ?" : "?";
        }
        Exec(db, create + ")");
        insert_ = Prepare(db, insert + ")");
    }

    const std::vector<Column>& Columns() const { return columns_; }

    // The position of a column (by folded name), or -1.
    int Find(std::string_view folded) const {
        for (size_t k = 0; k < columns_.size(); ++k)
            if (columns_[k].folded == folded) return static_cast<int>(k);
        return -1;
    }
    bool Has(std::string_view folded) const { return Find(folded) >= 0; }

    void Text(int k, std::string_view v) {
        if (k >= 0) sqlite3_bind_text(insert_.get(), k + 1, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void Int(int k, std::int64_t v) {
        if (k >= 0) sqlite3_bind_int64(insert_.get(), k + 1, v);
    }
    void Real(int k, double v) {
        if (k >= 0) sqlite3_bind_double(insert_.get(), k + 1, v);
    }
    void Null(int k) {
        if (k >= 0) sqlite3_bind_null(insert_.get(), k + 1);
    }
    void Text(std::string_view folded, std::string_view v) { Text(Find(folded), v); }
    void Int(std::string_view folded, std::int64_t v) { Int(Find(folded), v); }

    // Binds every column: the unit, account set, year and period where the table has them, and
    // plausible values elsewhere, with some NULLs outside the key columns.
    void Fill(const RowContext& c) {
        for (size_t k = 0; k < columns_.size(); ++k) {
            const int i = static_cast<int>(k);
            const Column& col = columns_[k];
            const std::string& f = col.folded;
            const int n = c.row + 1;
            if (f == "gsdm" || f == "hsdwdm")
                Text(i, c.unit->code);
            else if ((f == "zth" || f == "ztbh") && c.set)
                Text(i, c.set->code);
            else if (f == "kjnd")
                Text(i, std::to_string(c.year ? c.year : 2016));
            else if (f == "kjqj")
                Text(i, Period(c.year ? c.year : 2016, c.month ? c.month : 1));
            else if (In(f, {"hsdwmc", "gsmc", "dwmc", "gsqc", "dwqc"}))
                Text(i, c.unit->name);
            else if (f == "ztmc" && c.set)
                Text(i, c.set->name);
            else if (f == "kmdm")
                Text(i, c.unit->accounts[c.row % c.unit->accounts.size()].code);
            else if (In(f, {"syzt", "sjly"}))
                Text(i, "1");
            else if ((c.row * 7 + i * 3 + c.year) % 11 == 0)
                Null(i);
            else
                Generic(i, col, c, n);
        }
    }

    void Insert() {
        const int rc = sqlite3_step(insert_.get());
        sqlite3_reset(insert_.get());
        if (rc != SQLITE_DONE) ThrowSqlite(db_, rc);
    }

private:
    void Generic(int i, const Column& col, const RowContext& c, int n) {
        const std::string& f = col.folded;
        switch (col.kind) {
        case Kind::Key:
        case Kind::Code: {
            char code[16];
            std::snprintf(code, sizeof code, "%02d", n);
            Text(i, code);
            return;
        }
        case Kind::Int: Int(i, n); return;
        case Kind::Amount: Real(i, 1000.0 * n + 0.5); return;
        case Kind::Rate: Real(i, 1.0); return;
        case Kind::Date: Text(i, Date(c.year ? c.year : 2016, c.month ? c.month : 1, n)); return;
        case Kind::Text:
            if (EndsWith(f, "mc") || EndsWith(f, "name") || EndsWith(f, "zy") || EndsWith(f, "nr")) {
                Text(i, "示例名称" + std::to_string(n));
            } else if (f.substr(0, 2) == "sf" || f.substr(0, 2) == "is") {
                Text(i, n % 2 ? "1" : "0");
            } else {
                Text(i, f + std::to_string(n));
            }
            return;
        }
    }

    sqlite3* db_;
    std::vector<Column> columns_;
    PreparedStatement insert_;
};

// A small deterministic generator, so that every sample is the same.
class Random {
public:
    std::uint64_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }

private:
    std::uint64_t state_ = 0x2016A5A5F00DULL;
};

const Account& FindAccount(const Unit& unit, const char* code) {
    for (const Account& a : unit.accounts)
        if (std::string_view(a.code) == code) return a;
    return unit.accounts.front();
}

// Rows of an ordinary table: kRowsPerGroup per unit, and per account set and year where the
// table has those columns.
void WriteOrdinary(TableWriter& w, const Shape& shape) {
    const bool bySet = w.Has("zth") || w.Has("ztbh");
    const bool byYear = w.Has("kjnd");
    for (const Unit& unit : shape.units) {
        for (size_t s = 0; s < (bySet ? unit.sets.size() : 1); ++s) {
            for (int year = byYear ? shape.firstYear : 0; year <= (byYear ? shape.lastYear : 0); ++year) {
                if (byYear && !Shape::Keeps(unit, year)) continue;
                for (int row = 0; row < kRowsPerGroup; ++row) {
                    w.Fill({&unit, bySet ? &unit.sets[s] : nullptr, year, 0, row});
                    w.Insert();
                }
            }
        }
    }
}

// The account-set table: one row per unit, account set and year.
void WriteAccountSets(TableWriter& w, const Shape& shape) {
    for (const Unit& unit : shape.units)
        for (const AccountSet& set : unit.sets)
            for (int year = std::max(shape.firstYear, unit.since); year <= shape.lastYear; ++year) {
                w.Fill({&unit, &set, year, 0, year - shape.firstYear});
                w.Int("kjqjs", 12);
                w.Insert();
            }
}

// The chart of accounts of every account set and year.
void WriteAccounts(TableWriter& w, const Shape& shape) {
    for (const Unit& unit : shape.units)
        for (const AccountSet& set : unit.sets)
            for (int year = std::max(shape.firstYear, unit.since); year <= shape.lastYear; ++year)
                for (size_t k = 0; k < unit.accounts.size(); ++k) {
                    const Account& a = unit.accounts[k];
                    w.Fill({&unit, &set, year, 0, static_cast<int>(k)});
                    w.Text("kmdm", a.code);
                    w.Text("kmmc", a.name);
                    w.Int("kmjx", 1);
                    w.Text("kmmx", "1");
                    w.Text("yefx", a.debitSide ? "借" : "贷");
                    w.Text("kmlb", std::string(a.code, 1));
                    w.Insert();
                }
}

// Twelve accounting periods per account set and year.
void WritePeriods(TableWriter& w, const Shape& shape) {
    for (const Unit& unit : shape.units)
        for (const AccountSet& set : unit.sets)
            for (int year = std::max(shape.firstYear, unit.since); year <= shape.lastYear; ++year)
                for (int month = 1; month <= 12; ++month) {
                    w.Fill({&unit, &set, year, month, month - 1});
                    w.Int("kjqjxh", month);
                    w.Text("qsrq", Date(year, month, 1));
                    w.Text("jsrq", Date(year, month, DaysIn(year, month)));
                    w.Text("jzbz", "1");
                    w.Insert();
                }
}

// Vouchers with their lines, department details and counterparty items.
void WriteVouchers(TableWriter& ml, TableWriter& nr, TableWriter& flmx, TableWriter& wlyw, const Shape& shape,
                   int scale) {
    // The columns that all four tables share.
    struct Keys {
        TableWriter& w;
        int gsdm = w.Find("gsdm"), zth = w.Find("zth"), kjqj = w.Find("kjqj"), pzh = w.Find("pzh");
    };
    Keys keys[] = {{ml}, {nr}, {flmx}, {wlyw}};
    const int mlIdpzh = ml.Find("idpzh"), mlPzrq = ml.Find("pzrq"), mlPzje = ml.Find("pzje"), mlPzzy = ml.Find("pzzy"),
              mlFjzs = ml.Find("fjzs"), mlSr = ml.Find("sr"), mlSrrq = ml.Find("srrq"), mlShrq = ml.Find("shrq"),
              mlJzrq = ml.Find("jzrq"), mlBz = ml.Find("bz");
    const int nrFlh = nr.Find("flh"), nrKmdm = nr.Find("kmdm"), nrJdbz = nr.Find("jdbz"), nrJe = nr.Find("je"),
              nrZy = nr.Find("zy"), nrId = nr.Find("idpznr"), nrWldm = nr.Find("wldm"), nrBmdm = nr.Find("bmdm");
    const int flFlh = flmx.Find("flh"), flJe = flmx.Find("je"), flFzdm = flmx.Find("fzdm");
    const int wlFlh = wlyw.Find("flh"), wlKmdm = wlyw.Find("kmdm"), wlJd = wlyw.Find("jd"), wlJe = wlyw.Find("je"),
              wlZy = wlyw.Find("zy"), wlId = wlyw.Find("idpznr"), wlWldm = wlyw.Find("wldm"),
              wlPzrq = wlyw.Find("pzrq"), wlWldrq = wlyw.Find("wldrq");

    // Columns that do not vary get their values once.
    const RowContext first{&shape.units[0], &shape.units[0].sets[0], shape.firstYear, 1, 0};
    for (TableWriter* w : {&ml, &nr, &flmx, &wlyw}) w->Fill(first);
    flmx.Text("mxlx", "BM");
    flmx.Int("mxxh", 1);
    wlyw.Int("xh", 1);
    wlyw.Text("dzbz", "0");
    ml.Text("zt", "3");

    Random random;
    std::int64_t voucherId = 0, lineId = 0;
    for (const Unit& unit : shape.units) {
        for (const AccountSet& set : unit.sets) {
            for (int year = std::max(shape.firstYear, unit.since); year <= shape.lastYear; ++year) {
                for (int month = 1; month <= 12; ++month) {
                    const std::string period = Period(year, month);
                    for (Keys& k : keys) {
                        k.w.Text(k.gsdm, unit.code);
                        k.w.Text(k.zth, set.code);
                        k.w.Text(k.kjqj, period);
                    }
                    ml.Text(mlJzrq, Date(year, month, DaysIn(year, month)));
                    const int vouchers = kVouchersPerPeriod * scale;
                    for (int v = 1; v <= vouchers; ++v) {
                        const VoucherPattern& p = unit.patterns[random.Below(static_cast<int>(unit.patterns.size()))];
                        const std::string date = Date(year, month, 1 + (v - 1) * DaysIn(year, month) / vouchers);
                        std::int64_t cents[2] = {0, 0};
                        std::int64_t total = 0;
                        for (int d = 0; d < 2 && p.debits[d]; ++d) total += cents[d] = 100 + random.Below(5'000'000);

                        ++voucherId;
                        for (Keys& k : keys) k.w.Int(k.pzh, v);
                        ml.Int(mlIdpzh, voucherId);
                        ml.Text(mlPzrq, date);
                        ml.Text(mlSrrq, date);
                        ml.Text(mlShrq, date);
                        ml.Real(mlPzje, static_cast<double>(total) / 100);
                        ml.Text(mlPzzy, p.summary);
                        ml.Int(mlFjzs, 1 + v % 5);
                        ml.Text(mlSr, kClerks[v % 3]);
                        if (v % 9 == 0)
                            ml.Null(mlBz);
                        else
                            ml.Text(mlBz, "");
                        ml.Insert();

                        wlyw.Text(wlPzrq, date);
                        wlyw.Text(wlWldrq, date);
                        int line = 0;
                        const auto writeLine = [&](const char* code, bool debit, std::int64_t amount) {
                            const Account& a = FindAccount(unit, code);
                            const double je = static_cast<double>(amount) / 100;
                            const char* counterparty = kCounterparties[random.Below(std::size(kCounterparties))];
                            const char* department = line % 2 ? "02" : "01";
                            ++line;
                            ++lineId;
                            nr.Int(nrFlh, line);
                            nr.Text(nrKmdm, a.code);
                            nr.Text(nrJdbz, debit ? "借" : "贷");
                            nr.Real(nrJe, je);
                            nr.Text(nrZy, p.summary);
                            nr.Int(nrId, lineId);
                            nr.Text(nrWldm, a.counterparty ? counterparty : "");
                            nr.Text(nrBmdm, department);
                            nr.Insert();
                            flmx.Int(flFlh, line);
                            flmx.Real(flJe, je);
                            flmx.Text(flFzdm, department);
                            flmx.Insert();
                            if (!a.counterparty) return;
                            wlyw.Int(wlFlh, line);
                            wlyw.Text(wlKmdm, a.code);
                            wlyw.Text(wlJd, debit ? "借" : "贷");
                            wlyw.Real(wlJe, je);
                            wlyw.Text(wlZy, p.summary);
                            wlyw.Int(wlId, lineId);
                            wlyw.Text(wlWldm, counterparty);
                            wlyw.Insert();
                        };
                        for (int d = 0; d < 2 && p.debits[d]; ++d) writeLine(p.debits[d], true, cents[d]);
                        writeLine(p.credit, false, total);
                    }
                }
            }
        }
    }
}

// Balances from the voucher lines: monthly debit and credit totals per account, with opening
// balances carried from the year before (the first year opens at zero).
void WriteBalances(sqlite3* db, const Shape& shape) {
    std::string columns = "gsdm, kjnd, ZTH, kmdm, ID, yeblx, wbdm, zdylb, zdydm, ncj, ncd";
    std::string values = "gsdm, substr(kjqj, 1, 4), ZTH, kmdm, row_number() OVER (), '0', '', '', '', 0, 0";
    for (int f = 0; f <= 10; ++f) {
        columns += ", fzdm" + std::to_string(f);
        values += ", ''";
    }
    std::string debits, credits;
    for (int month = 1; month <= 13; ++month) {
        const std::string m = std::to_string(month);
        char mm[16];
        std::snprintf(mm, sizeof mm, "%02d", month);
        columns += ", yj" + m + ", yd" + m;
        for (const char* side : {"借", "贷"}) {
            values += std::string(", round(sum(CASE WHEN jdbz = '") + side + "' AND substr(kjqj, 5, 2) = '" + mm +
                      "' THEN je ELSE 0 END), 2)";
        }
        debits += (month > 1 ? " + yj" : "yj") + m;
        credits += (month > 1 ? " + yd" : "yd") + m;
    }
    Exec(db, "INSERT INTO GL_YEB (" + columns + ") SELECT " + values +
                 " FROM GL_PZNR GROUP BY gsdm, substr(kjqj, 1, 4), ZTH, kmdm ORDER BY 1, 3, 2, 4");
    for (int year = shape.firstYear + 1; year <= shape.lastYear; ++year) {
        const std::string closing = "round(ncj - ncd + " + debits + " - (" + credits + "), 2)";
        const std::string before = "'" + std::to_string(year - 1) + "'", now = "'" + std::to_string(year) + "'";
        Exec(db, "UPDATE GL_YEB AS c SET ncj = max(p.net, 0), ncd = max(-p.net, 0) FROM (SELECT gsdm, ZTH, kmdm, " +
                     closing + " AS net FROM GL_YEB WHERE kjnd = " + before + ") AS p WHERE c.kjnd = " + now +
                     " AND p.gsdm = c.gsdm AND p.ZTH = c.ZTH AND p.kmdm = c.kmdm");
    }
    Exec(db, "INSERT INTO GL_YEBK SELECT * FROM GL_YEB");
}

}  // namespace

void Engine::CreateSample(const std::filesystem::path& dataDir, int scale, Sample sample) {
    const Shape shape = sample == Sample::Township ? TownshipShape() : DefaultShape();
    std::filesystem::create_directories(dataDir);
    const std::filesystem::path file = DatabaseFile(dataDir, kDatabase);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::filesystem::remove(std::filesystem::path(file.native() + suffix));
    }
    Connection db = OpenDatabase(file, true);
    Exec(db.get(), "PRAGMA journal_mode=OFF");
    Exec(db.get(), "PRAGMA synchronous=OFF");
    Exec(db.get(), "PRAGMA cache_size=-65536");
    Exec(db.get(), "BEGIN");
    std::vector<std::unique_ptr<TableWriter>> writers;
    const auto writer = [&](std::string_view name) -> TableWriter& {
        for (size_t k = 0; k < std::size(kTables); ++k)
            if (kTables[k].name == name) return *writers[k];
        throw std::logic_error("no sample table " + std::string(name));
    };
    for (const TableDefinition& t : kTables) writers.push_back(std::make_unique<TableWriter>(db.get(), t));
    for (size_t k = 0; k < std::size(kTables); ++k) {
        const std::string_view name = kTables[k].name;
        if (name == "GL_Ztcs")
            WriteAccountSets(*writers[k], shape);
        else if (name == "GL_KMXX")
            WriteAccounts(*writers[k], shape);
        else if (name == "PUBKJQJ")
            WritePeriods(*writers[k], shape);
        else if (!In(name, {"GL_PZML", "GL_PZNR", "GL_PZFLMX", "GL_PZFLMX_BK", "GL_WLYW", "GL_YEB", "GL_YEBK"}))
            WriteOrdinary(*writers[k], shape);
    }
    WriteVouchers(writer("GL_PZML"), writer("GL_PZNR"), writer("GL_PZFLMX"), writer("GL_WLYW"), shape,
                  std::max(scale, 1));
    writers.clear();
    Exec(db.get(), "INSERT INTO GL_PZFLMX_BK SELECT * FROM GL_PZFLMX WHERE pzh % 3 = 1");
    WriteBalances(db.get(), shape);
    Exec(db.get(), "COMMIT");
    Exec(db.get(), "PRAGMA journal_mode=WAL");
}

}  // namespace standin
