#include "catalogue.h"

#include <array>

#include "sqltext.h"

namespace tarvex {
namespace {

enum class Input { AccountSet, FiscalYear };
constexpr Input kAccountSet = Input::AccountSet;
constexpr Input kFiscalYear = Input::FiscalYear;

// A condition after the one on the unit code: the connector, which closes the previous value
// and opens the next one, and the input whose text follows it.
struct Condition {
    std::string_view connector;
    Input input;
};

// One table and its copy statement, which is assembled as
//   columns "into [" kTemporaryDatabase "].[dbo].[" table "]" beforeFrom "FROM ["
//   <source database> "].[dbo].[" table "]" beforeWhere "where " unitColumn "='" <unit code>
//   { connector <account-set number or fiscal year> } "'"
// The odd blanks and the letter case belong to the statements the server expects.
struct Entry {
    std::string_view table;
    std::string_view columns;      // "SELECT", the column list and the blanks before "into"
    std::string_view beforeFrom;   // the blanks between the target table's "]" and "FROM"
    std::string_view beforeWhere;  // the blanks between the source table's "]" and "where"
    std::string_view unitColumn;
    std::array<Condition, 2> conditions;  // an unused one has no connector
    int progressDots;
};

constexpr std::array<Entry, TableCatalogue::kEntryCount> kEntries{{
    {"DWYS_TZDLX",
     "SELECT [BZ],[GSDM],[JL_RQ],[JLR_ID],[SFLRZFFS],[SFMX],[SFSCPZ],[SFSZ],[SYZT],[TZLXDM],[TZLXMC],[TZXZ],[XG_RQ],[XGR_ID],[ZJM] ",
     "", " ", "gsdm", {{}}, 6},
    {"GL_BZ",
     "SELECT  [BZ1],[BZ2],[BZ3],[BZ4],[BZ5],[GSDM],[ZTH] ",
     " ", " ", "GSDM", {{{"' and zth='", kAccountSet}}}, 6},
    {"GL_DLZGSML",
     "SELECT [GSDM],[GSID],[gsmc],[syzt],[zbgs],[zkdm],[zkfs],[zklx],[ZTH] ",
     "  ", " ", "GSDM", {{{"' and zth='", kAccountSet}}}, 5},
    {"GL_DLZGSNR",
     "SELECT  [Col],[ColCaption],[ColName],[ColWidth],[DataDec],[DataWidth],[GSDM],[GSID],[kmdm],[zkfx],[ZTH] ",
     "  ", " ", "gsdm", {{{"' and zth='", kAccountSet}}}, 6},
    {"GL_FZXLB",
     "SELECT [bz],[gsdm],[Jl_RQ],[Jlr_ID],[kjnd],[lbdm],[lbfj],[lbmc],[lbName],[pxh]='',[sflx],[SFQY],[SFYGKZ],[SFYZ],[SFZDY],[Sjly],[syzt],[Xg_RQ],[Xgr_ID] ",
     "  ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}}}, 6},
    {"GL_JZMBML",
     "SELECT  [gsdm],[jzpc],[kjnd],[mbdm],[mbmc],[pzlx],[sfjz],[sfyz],[zrkm],[zth] ",
     "  ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}}}, 6},
    {"GL_JZMBNR",
     "SELECT [flh],[fzdm0],[fzdm1],[fzdm10],[fzdm2],[fzdm3],[fzdm4],[fzdm5],[fzdm6],[fzdm7],[fzdm8],[fzdm9],[gsdm],[jzkjkm],[kjnd],[mbdm],[qskjkm],[sfjz],[zcbfb],[zcfx],[zrkm],[zth] ",
     "  ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}, {"' and zth='", kAccountSet}}}, 6},
    {"GL_KMMXFL",
     "SELECT  [GSDM],[kmmxlb],[kmmxlbmc],[kmxz],[ZTH] ",
     "  ", " ", "gsdm", {{{"' and zth='", kAccountSet}}}, 6},
    {"GL_KMXX",
     "SELECT [acc_na],[dfmax],[fzhs],[fzsm],[gsdm],[jfmax],[JL_RQ],[JLR_ID],[kjnd],[kmbz],[kmdm],[kmdw],[kmgs],[kmhdfx],[kmjx],[kmlb],[kmmc],[kmmx],[kmmxlb],[kmpz],[kmqx],[kmslxsws],[kmsyfx],[kmxz],[Sjly],[syzcfs],[syzt],[XG_RQ],[XGR_ID],[yefx],[yemax],[zdyfzhs],[zjm],[ZTH] ",
     "  ", " ", "gsdm", {{{"' and zth='", kAccountSet}, {"' and kjnd='", kFiscalYear}}}, 6},
    {"GL_KMXZLX",
     "SELECT [gsdm],[lxdm],[lxmc],[zth] ",
     "  ", " ", "gsdm", {{{"' and zth='", kAccountSet}}}, 6},
    {"GL_PZFLMX",
     "SELECT [flh],[fzdm],[gsdm],[je],[kjqj],[mxlx],[mxxh],[pzh],[pzly],[ZTH] ",
     "  ", " ", "gsdm", {{{"' and zth='", kAccountSet}, {"' and left(kjqj,4)='", kFiscalYear}}}, 6},
    {"GL_PZFLMX_BK",
     "SELECT  [flh],[fzdm],[gsdm],[je],[kjqj],[mxlx],[mxxh],[pzh],[pzly],[ZTH] ",
     "  ", " ", "gsdm", {{{"' and ZTH='", kAccountSet}, {"' and left(kjqj,4)='", kFiscalYear}}}, 6},
    {"GL_PZLX",
     "SELECT [gsdm],[Jl_RQ],[Jlr_ID],[pzbwkm_1],[pzbwkm_2],[pzbykm_1],[pzbykm_2],[pzdfkm_1],[pzdfkm_2],[pzjfkm_1],[pzjfkm_2],[pzlxdm],[pzlxjc],[pzlxmc],[sx]='',[syzt],[Xg_RQ],[Xgr_ID],[zjm],[ZTH] ",
     "  ", "  ", "gsdm", {{{"'and zth='", kAccountSet}}}, 6},
    {"GL_PZML",
     "SELECT [BZ],[CN],[dyzt]='0',[fjzs],[GDBZ]='',[GDCS]='',[GDID]='',[GDName]='',[GDRQSJ]='',[gsdm],[idpzh],[jsr],[jzr],[jzrID],[jzrq],[kjqj],[kjzg],[pzh],[pzhzbz],[pzhzkmdy],[pzje],[pzly],[pzrq],[pzzy],[QZRQ]='',[sh],[shID],[shrq],[sr],[srID],[srrq],[zt],[ZTH] ",
     "  ", "", "gsdm", {{{"' and zth='", kAccountSet}, {"' and left(kjqj,4)='", kFiscalYear}}}, 6},
    {"GL_PZNR",
     "SELECT  [bmdm],[cess],[dj],[EDID]='',[flh],[fphfw1],[fphfw2],[fplx],[fprq],[fzdm10],[fzdm4],[fzdm5],[fzdm6],[fzdm7],[fzdm8],[fzdm9],[fzsm1],[fzsm2],[fzsm3],[fzsm4],[fzsm5],[fzsm6],[fzsm7],[fzsm8],[fzsm9],[gsdm],[hl],[IDPZNR],[jdbz],[je],[JFSQID]='',[jsfs],[kjqj],[kmdm],[pzh],[pzly],[sl],[spz],[wbdm],[wbje],[wldm],[wldrq],[wlh]='',[xmdm],[ZBID]='',[ZTH],[zy],[zydm] ",
     "  ", " ", "gsdm", {{{"' and zth='", kAccountSet}, {"' and left(kjqj,4)='", kFiscalYear}}}, 6},
    {"GL_PZZY",
     "SELECT [bmdm],[fzdm10],[fzdm4],[fzdm5],[fzdm6],[fzdm7],[fzdm8],[fzdm9],[grdm],[gsdm],[kjnd],[kmdm],[wldm],[xmdm],[zjm],[ZTH],[zydm],[zynr] ",
     "  ", " ", "gsdm", {{{"' and zth='", kAccountSet}, {"' and kjnd='", kFiscalYear}}}, 6},
    {"GL_TZDLX",
     "SELECT [GSDM],[SYZT],[TZLXDM],[TZLXMC] ",
     "  ", " ", "gsdm", {{}}, 6},
    {"GL_WLKM",
     "SELECT [GSDM],[kjnd],[kmdm],[wldm],[wllx],[ZTH] ",
     " ", " ", "GSDM", {{{"' and ZTH='", kAccountSet}, {"' and kjnd='", kFiscalYear}}}, 6},
    {"GL_WLYW",
     "SELECT  [bmdm],[dj],[dzbz],[dzrq],[flh],[fzdm1],[FZDM10],[fzdm2],[FZDM4],[FZDM5],[FZDM6],[FZDM7],[FZDM8],[FZDM9],[gsdm],[hl],[hxsj],[IDPZNR],[jd],[je],[jjzcdm],[jsr],[kjqj],[kmdm],[pzh],[pzly],[pzrq],[sl],[wbdm],[wbje],[wldm],[wldrq],[wlh]='',[xh],[xmdm],[yspz],[ZBID],[ZTH],[zy],[zydm] ",
     " ", " ", "gsdm", {{{"' and zth='", kAccountSet}, {"' and left(kjqj,4)='", kFiscalYear}}}, 6},
    {"GL_XJLLXM",
     "SELECT  [bz],[gsdm],[Jl_RQ],[Jlr_ID],[kjnd],[sfmx],[Sjly],[syzt],[Xg_RQ],[Xgr_ID],[xjdm],[xjlx],[xjmc],[zjm]",
     " ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}}}, 6},
    {"GL_XMKM",
     "SELECT [gsdm],[kjnd],[kmdm],[xmdm],[ZTH] ",
     "  ", "", "gsdm", {{{"' and kjnd='", kFiscalYear}, {"' and zth='", kAccountSet}}}, 6},
    {"GL_XMZL",
     "SELECT  [BM],[BMDM],[GLH]='',[GSDM],[ISJBZC],[JL_RQ],[JLR_ID],[JSRQ],[KJND],[KSRQ],[KZFS],[LXND],[PROJOBJID],[REN],[ren2]='',[ren3]='',[SFJT],[SFMX],[SJLY],[SYZT],[XG_RQ],[XGR_ID],[XMDM],[XMFL],[XMMC],[YSJE]='',[ZDXMBZ],[ZJLY],[ZJM],[ZY] ",
     "  ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}}}, 6},
    {"GL_YEB",
     "SELECT [fzdm0],[fzdm1],[fzdm10],[fzdm2],[fzdm3],[fzdm4],[fzdm5],[fzdm6],[fzdm7],[fzdm8],[fzdm9],[gsdm],[ID],[kjnd],[kmdm],[ncd],[ncj],[wbdm],[yd1],[yd10],[yd11],[yd12],[yd13],[yd2],[yd3],[yd4],[yd5],[yd6],[yd7],[yd8],[yd9],[yeblx],[yj1],[yj10],[yj11],[yj12],[yj13],[yj2],[yj3],[yj4],[yj5],[yj6],[yj7],[yj8],[yj9],[zdydm],[zdylb],[ZTH] ",
     "  ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}, {"' and ZTH='", kAccountSet}}}, 6},
    {"GL_YEBK",
     "SELECT [fzdm0],[fzdm1],[fzdm10],[fzdm2],[fzdm3],[fzdm4],[fzdm5],[fzdm6],[fzdm7],[fzdm8],[fzdm9],[gsdm],[ID],[kjnd],[kmdm],[ncd],[ncj],[wbdm],[yd1],[yd10],[yd11],[yd12],[yd13],[yd2],[yd3],[yd4],[yd5],[yd6],[yd7],[yd8],[yd9],[yeblx],[yj1],[yj10],[yj11],[yj12],[yj13],[yj2],[yj3],[yj4],[yj5],[yj6],[yj7],[yj8],[yj9],[zdydm],[zdylb],[ZTH] ",
     " ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}, {"' and zth='", kAccountSet}}}, 6},
    {"GL_YHZH",
     "SELECT  [bcye],[bdje],[bjje],[gsdm],[kjnd],[kmmc],[rq],[ydje],[yhye],[yjje],[zh],[ZTH] ",
     "  ", " ", "gsdm", {{{"' and zth='", kAccountSet}, {"' and kjnd='", kFiscalYear}}}, 7},
    {"GL_YSKMLB",
     "SELECT [gsdm],[lbdm],[lbmc] ",
     " ", " ", "gsdm", {{}}, 6},
    {"GL_ZDFL",
     "SELECT [bds],[bds_sl],[bds_wb],[bmdm],[bz],[flh],[flxh],[fzdm10],[fzdm4],[fzdm5],[fzdm6],[fzdm7],[fzdm8],[fzdm9],[GroupId],[gsdm],[IsJZ],[jd],[JFSQID]='',[kjnd],[kmdm],[mxflh],[OrderNo],[pzlx],[PZLY],[RATE],[rq],[wldm],[xh],[xmdm],[yq],[ZBID],[ZDName],[zdy1dm],[zdy2dm],[zdy3dm],[zdy4dm],[zdy5dm],[ZTH],[zy],[zydm] ",
     "  ", " ", "gsdm", {{{"' and zth='", kAccountSet}, {"' and kjnd='", kFiscalYear}}}, 6},
    {"GL_ZDFLMX",
     "SELECT [fzdm],[gsdm],[jegs],[kjnd],[mxflh],[mxlx],[mxxh],[zdflh],[ZTH] ",
     "  ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}, {"' and ZTH='", kAccountSet}}}, 6},
    {"GL_ZTCS",
     "SELECT [anyibz],[bbpath],[Bkdbh],[BKDDataQXQY],[Bkdfs],[BKDSCPZ],[BKDTD],[BKDXSSJKM],[BKDXSZHMC],[BKDXYFSCZ],[BKHSKM],[BKPZLX],[BKYHKMYZ],[bmbmfa],[bwbbf],[bwbdm],[bwbdw],[bwbjd],[bwbmc],[BZDW],[CNQZKM],[CS1],[CS2],[CS3],[CS4],[CS5],[cwzg],[CZYJKM]='',[DELMAXDH],[DJSH],[DJXG],[djxsws],[dqbmfa],[dwbmfa],[DYBZ],[DZKDM],[FlowControl],[Gkjzzf],[GKKSBMFA],[gsbmfa],[HeadBKDH],[hllx],[hsdwdm],[hsdwmc],[JHSH],[kjnd],[kjqjs],[kmbmfa],[kmzbmfa],[KZFS],[KZQJ],[KZYJ],[Lrzy],[Maxzdycount],[mjxsxsws],[NeedJfzb],[NeedYskm],[pzbtdf],[PZFJPath],[pzygkz],[qykjqj],[sfyjz],[sjkzbz],[SJLY],[SJSJ],[slxsws],[SZQXKZ],[TSXKZ],[wbhs],[wjsjlj],[WJZ],[xjbmfa],[xmbmfa],[YBJSY],[YBKSY],[YKJHCS],[YKJHFS],[ykjhyskm],[yskz],[yspzkz],[YZKM],[ZBKZ],[ZBKZMB],[ZBQYRQ],[ZDYFZYSKZCS],[ZDYFZYSLBDM],[Zfpzbh],[ZFSCBKD],[ZPHS],[Zpscbk],[ztbh],[ztkz],[ztlb],[ztmc],[ztmce],[ZTSX] ",
     "  ", " ", "hsdwdm", {{{"' and kjnd='", kFiscalYear}, {"' and ztbh='", kAccountSet}}}, 6},
    {"PUBBMXX",
     "SELECT  [bmdm],[bmlb],[bmmc],[fzrdm],[fzrdm2]='',[fzrdm3]='',[gsdm],[Jl_RQ],[Jlr_ID],[kjnd],[SFMX],[Sjly],[syzt],[tel],[Xg_RQ],[Xgr_ID],[xjbms],[zgrs],[zjm]",
     "  ", "", "gsdm", {{{"' and kjnd='", kFiscalYear}}}, 6},
    {"PUBGSZL",
     "SELECT [bizh],[bz],[cwemail],[cwlxr],[cwtel],[DistrictCode],[dwwb],[email],[fax],[frdbxm],[GKJZZF],[gsdm],[gsmc],[gsmc_f],[gsqc],[http],[hymc],[Jl_RQ],[Jlr_ID],[jyfw],[jym],[khyh],[kjnd],[lxrxm],[qgbemail],[qgblxr],[qgbtel],[qydm],[syzt],[tel],[txdz],[UnitCharatcter],[UnitType],[webuse],[Xg_RQ],[Xgr_ID],[xxemail],[xxlxr],[xxtel],[yb],[yyzh],[zgbl],[zgrs],[zh],[zzsh] ",
     "  ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}}}, 6},
    {"PUBKJQJ",
     "SELECT [chjzbz],[gsdm],[jsrq],[jzbz],[jzzt]='',[kjnd],[kjqjxh],[qmpzpc],[qsrq],[syzt],[xgzt],[ZTH],[zzqmcl] ",
     "  ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}, {"' and ZTH='", kAccountSet}}}, 6},
    {"PUBKSZL",
     "SELECT [BEM_DWJB],[bizh],[bz],[bzbz1],[bzbz2],[bzbz3],[bzbz4],[bzbz5],[bzbz6],[bzbz7],[bzly],[bzSYzt],[cwfzr],[dqdm],[dwdm],[dwfzr],[dwgbm],[dwjb],[dwjbr],[dwmc],[dwqc],[dwwb],[dwxz],[dyckkm],[dyckzh],[dysjk],[dyyhckzh],[dyyhxjzh],[dyzwztckkm],[dyzwzth],[dyzwztmc],[email],[fax],[frdbxm],[GKJZZF],[gsdm],[HKFS],[http],[JL_RQ],[JLR_ID],[jyfw],[jym],[khyh],[kjnd],[lxrxm],[MAXDJSQJE],[MAXRSQJE],[MAXSQJEBL],[MQKPBZ],[PJMAXSL],[sfcj],[sfgys],[sfjtndw],[sfkh],[SFMX],[sftzjy],[sfxykz],[sfysdw],[sh],[sjdwdm],[sjlbdm],[Sjly],[SQYHDM],[SQYHMC],[syzt],[tel],[txdz],[UnitType],[WebMemberID],[XG_RQ],[XGR_ID],[xyed],[xyts],[yb],[yfzkkmdm],[YHBM],[YQGUID]='',[yszkkmdm],[yufzkkmdm],[yuszkkmdm],[yyzh],[zh],[ZJYHDM],[ZJYHMC],[zzsh] ",
     "  ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}}}, 6},
    {"PUBZYXX",
     "SELECT [appsw]='',[bdmm]='',[bmdm],[bz],[csny],[DFYH],[dzrq],[email],[GLzt],[GRZH],[gsdm],[GWKYH],[GWKZH],[imei]='',[JL_RQ],[JLR_ID],[jtzz],[kjnd],[lzrq],[password],[scgzzn],[sfzh],[Sjly],[syzt],[tel],[WBDM]='',[whcd],[xb],[XG_RQ],[XGR_ID],[zjm],[zw],[zydm],[zylb],[zyxm],[zyzp],[zyzp1]=''",
     "  ", " ", "gsdm", {{{"' and kjnd='", kFiscalYear}}}, 6},
}};

const Entry* Find(int position) {
    if (position < 1 || position > TableCatalogue::kEntryCount) return nullptr;
    return &kEntries[static_cast<std::size_t>(position - 1)];
}

}  // namespace

std::string_view TableCatalogue::TableName(int position) {
    const Entry* entry = Find(position);
    return entry ? entry->table : std::string_view();
}

std::string TableCatalogue::ProgressLine(int position, const CodePage& cp) {
    const Entry* entry = Find(position);
    if (!entry) return {};
    std::string line = "正在整理";
    line += entry->table;
    line += "表";
    line.append(static_cast<std::size_t>(entry->progressDots), '.');
    line += "\r\n";
    return cp.FromUtf8(line);
}

std::optional<std::string> BuildCopyStatement(int position, std::string_view sourceDatabase, std::string_view unitCode,
                                              std::string_view accountSetNumber, std::string_view fiscalYear,
                                              const CodePage& cp) {
    const Entry* entry = Find(position);
    if (!entry) return std::nullopt;
    const std::optional<std::string> database = QuoteBracketedName(sourceDatabase, cp);
    if (!database) return std::nullopt;

    std::string statement(entry->columns);
    statement += "into [";
    statement += cp.FromUtf8(kTemporaryDatabase);
    statement += "].[dbo].[";
    statement += entry->table;
    statement += ']';
    statement += entry->beforeFrom;
    statement += "FROM [";
    statement += *database;
    statement += "].[dbo].[";
    statement += entry->table;
    statement += ']';
    statement += entry->beforeWhere;
    statement += "where ";
    statement += entry->unitColumn;
    statement += "='";
    statement += QuoteLiteralText(unitCode);
    for (const Condition& condition : entry->conditions) {
        if (condition.connector.empty()) continue;
        statement += condition.connector;
        statement += QuoteLiteralText(condition.input == Input::AccountSet ? accountSetNumber : fiscalYear);
    }
    statement += '\'';
    return statement;
}

}  // namespace tarvex
