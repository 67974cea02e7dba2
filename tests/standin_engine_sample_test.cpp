// The sample database: the account sets the lookup finds, the 34 copy statements of the table
// catalogue run against it, and the shape of its vouchers and balances.

#include <algorithm>
#include <set>

#include "standin_engine_support.h"

namespace enginetest {
namespace {

using standin::SqlType;
namespace fs = std::filesystem;

// The 34 copy statements for unit 001, account set 001 and the year 2016, after the bracket
// rewriting of the connection object, with the number of columns each creates.
struct Copy {
    const char* table;
    size_t columns;
    const char* sql;
};

const Copy
    kCopies
        [] =
            {
                {"DWYS_TZDLX", 15,
                 R"sql(SELECT "BZ","GSDM","JL_RQ","JLR_ID","SFLRZFFS","SFMX","SFSCPZ","SFSZ","SYZT","TZLXDM","TZLXMC","TZXZ","XG_RQ","XGR_ID","ZJM" into "Tarvex数据整理"."dbo"."DWYS_TZDLX"FROM "2016年乡镇数据采集"."dbo"."DWYS_TZDLX" where gsdm='001')sql"},
                {"GL_BZ", 7,
                 R"sql(SELECT  "BZ1","BZ2","BZ3","BZ4","BZ5","GSDM","ZTH" into "Tarvex数据整理"."dbo"."GL_BZ" FROM "2016年乡镇数据采集"."dbo"."GL_BZ" where GSDM='001' and zth='001')sql"},
                {"GL_DLZGSML", 9,
                 R"sql(SELECT "GSDM","GSID","gsmc","syzt","zbgs","zkdm","zkfs","zklx","ZTH" into "Tarvex数据整理"."dbo"."GL_DLZGSML"  FROM "2016年乡镇数据采集"."dbo"."GL_DLZGSML" where GSDM='001' and zth='001')sql"},
                {"GL_DLZGSNR", 11,
                 R"sql(SELECT  "Col","ColCaption","ColName","ColWidth","DataDec","DataWidth","GSDM","GSID","kmdm","zkfx","ZTH" into "Tarvex数据整理"."dbo"."GL_DLZGSNR"  FROM "2016年乡镇数据采集"."dbo"."GL_DLZGSNR" where gsdm='001' and zth='001')sql"},
                {"GL_FZXLB", 19,
                 R"sql(SELECT "bz","gsdm","Jl_RQ","Jlr_ID","kjnd","lbdm","lbfj","lbmc","lbName","pxh"='',"sflx","SFQY","SFYGKZ","SFYZ","SFZDY","Sjly","syzt","Xg_RQ","Xgr_ID" into "Tarvex数据整理"."dbo"."GL_FZXLB"  FROM "2016年乡镇数据采集"."dbo"."GL_FZXLB" where gsdm='001' and kjnd='2016')sql"},
                {"GL_JZMBML", 10,
                 R"sql(SELECT  "gsdm","jzpc","kjnd","mbdm","mbmc","pzlx","sfjz","sfyz","zrkm","zth" into "Tarvex数据整理"."dbo"."GL_JZMBML"  FROM "2016年乡镇数据采集"."dbo"."GL_JZMBML" where gsdm='001' and kjnd='2016')sql"},
                {"GL_JZMBNR", 22,
                 R"sql(SELECT "flh","fzdm0","fzdm1","fzdm10","fzdm2","fzdm3","fzdm4","fzdm5","fzdm6","fzdm7","fzdm8","fzdm9","gsdm","jzkjkm","kjnd","mbdm","qskjkm","sfjz","zcbfb","zcfx","zrkm","zth" into "Tarvex数据整理"."dbo"."GL_JZMBNR"  FROM "2016年乡镇数据采集"."dbo"."GL_JZMBNR" where gsdm='001' and kjnd='2016' and zth='001')sql"},
                {"GL_KMMXFL", 5,
                 R"sql(SELECT  "GSDM","kmmxlb","kmmxlbmc","kmxz","ZTH" into "Tarvex数据整理"."dbo"."GL_KMMXFL"  FROM "2016年乡镇数据采集"."dbo"."GL_KMMXFL" where gsdm='001' and zth='001')sql"},
                {"GL_KMXX", 34,
                 R"sql(SELECT "acc_na","dfmax","fzhs","fzsm","gsdm","jfmax","JL_RQ","JLR_ID","kjnd","kmbz","kmdm","kmdw","kmgs","kmhdfx","kmjx","kmlb","kmmc","kmmx","kmmxlb","kmpz","kmqx","kmslxsws","kmsyfx","kmxz","Sjly","syzcfs","syzt","XG_RQ","XGR_ID","yefx","yemax","zdyfzhs","zjm","ZTH" into "Tarvex数据整理"."dbo"."GL_KMXX"  FROM "2016年乡镇数据采集"."dbo"."GL_KMXX" where gsdm='001' and zth='001' and kjnd='2016')sql"},
                {"GL_KMXZLX", 4,
                 R"sql(SELECT "gsdm","lxdm","lxmc","zth" into "Tarvex数据整理"."dbo"."GL_KMXZLX"  FROM "2016年乡镇数据采集"."dbo"."GL_KMXZLX" where gsdm='001' and zth='001')sql"},
                {"GL_PZFLMX", 10,
                 R"sql(SELECT "flh","fzdm","gsdm","je","kjqj","mxlx","mxxh","pzh","pzly","ZTH" into "Tarvex数据整理"."dbo"."GL_PZFLMX"  FROM "2016年乡镇数据采集"."dbo"."GL_PZFLMX" where gsdm='001' and zth='001' and left(kjqj,4)='2016')sql"},
                {"GL_PZFLMX_BK", 10,
                 R"sql(SELECT  "flh","fzdm","gsdm","je","kjqj","mxlx","mxxh","pzh","pzly","ZTH" into "Tarvex数据整理"."dbo"."GL_PZFLMX_BK"  FROM "2016年乡镇数据采集"."dbo"."GL_PZFLMX_BK" where gsdm='001' and ZTH='001' and left(kjqj,4)='2016')sql"},
                {"GL_PZLX", 20,
                 R"sql(SELECT "gsdm","Jl_RQ","Jlr_ID","pzbwkm_1","pzbwkm_2","pzbykm_1","pzbykm_2","pzdfkm_1","pzdfkm_2","pzjfkm_1","pzjfkm_2","pzlxdm","pzlxjc","pzlxmc","sx"='',"syzt","Xg_RQ","Xgr_ID","zjm","ZTH" into "Tarvex数据整理"."dbo"."GL_PZLX"  FROM "2016年乡镇数据采集"."dbo"."GL_PZLX"  where gsdm='001'and zth='001')sql"},
                {"GL_PZML", 33,
                 R"sql(SELECT "BZ","CN","dyzt"='0',"fjzs","GDBZ"='',"GDCS"='',"GDID"='',"GDName"='',"GDRQSJ"='',"gsdm","idpzh","jsr","jzr","jzrID","jzrq","kjqj","kjzg","pzh","pzhzbz","pzhzkmdy","pzje","pzly","pzrq","pzzy","QZRQ"='',"sh","shID","shrq","sr","srID","srrq","zt","ZTH" into "Tarvex数据整理"."dbo"."GL_PZML"  FROM "2016年乡镇数据采集"."dbo"."GL_PZML"where gsdm='001' and zth='001' and left(kjqj,4)='2016')sql"},
                {"GL_PZNR", 48,
                 R"sql(SELECT  "bmdm","cess","dj","EDID"='',"flh","fphfw1","fphfw2","fplx","fprq","fzdm10","fzdm4","fzdm5","fzdm6","fzdm7","fzdm8","fzdm9","fzsm1","fzsm2","fzsm3","fzsm4","fzsm5","fzsm6","fzsm7","fzsm8","fzsm9","gsdm","hl","IDPZNR","jdbz","je","JFSQID"='',"jsfs","kjqj","kmdm","pzh","pzly","sl","spz","wbdm","wbje","wldm","wldrq","wlh"='',"xmdm","ZBID"='',"ZTH","zy","zydm" into "Tarvex数据整理"."dbo"."GL_PZNR"  FROM "2016年乡镇数据采集"."dbo"."GL_PZNR" where gsdm='001' and zth='001' and left(kjqj,4)='2016')sql"},
                {"GL_PZZY", 18,
                 R"sql(SELECT "bmdm","fzdm10","fzdm4","fzdm5","fzdm6","fzdm7","fzdm8","fzdm9","grdm","gsdm","kjnd","kmdm","wldm","xmdm","zjm","ZTH","zydm","zynr" into "Tarvex数据整理"."dbo"."GL_PZZY"  FROM "2016年乡镇数据采集"."dbo"."GL_PZZY" where gsdm='001' and zth='001' and kjnd='2016')sql"},
                {"GL_TZDLX", 4,
                 R"sql(SELECT "GSDM","SYZT","TZLXDM","TZLXMC" into "Tarvex数据整理"."dbo"."GL_TZDLX"  FROM "2016年乡镇数据采集"."dbo"."GL_TZDLX" where gsdm='001')sql"},
                {"GL_WLKM", 6,
                 R"sql(SELECT "GSDM","kjnd","kmdm","wldm","wllx","ZTH" into "Tarvex数据整理"."dbo"."GL_WLKM" FROM "2016年乡镇数据采集"."dbo"."GL_WLKM" where GSDM='001' and ZTH='001' and kjnd='2016')sql"},
                {"GL_WLYW", 40,
                 R"sql(SELECT  "bmdm","dj","dzbz","dzrq","flh","fzdm1","FZDM10","fzdm2","FZDM4","FZDM5","FZDM6","FZDM7","FZDM8","FZDM9","gsdm","hl","hxsj","IDPZNR","jd","je","jjzcdm","jsr","kjqj","kmdm","pzh","pzly","pzrq","sl","wbdm","wbje","wldm","wldrq","wlh"='',"xh","xmdm","yspz","ZBID","ZTH","zy","zydm" into "Tarvex数据整理"."dbo"."GL_WLYW" FROM "2016年乡镇数据采集"."dbo"."GL_WLYW" where gsdm='001' and zth='001' and left(kjqj,4)='2016')sql"},
                {"GL_XJLLXM", 14,
                 R"sql(SELECT  "bz","gsdm","Jl_RQ","Jlr_ID","kjnd","sfmx","Sjly","syzt","Xg_RQ","Xgr_ID","xjdm","xjlx","xjmc","zjm"into "Tarvex数据整理"."dbo"."GL_XJLLXM" FROM "2016年乡镇数据采集"."dbo"."GL_XJLLXM" where gsdm='001' and kjnd='2016')sql"},
                {"GL_XMKM", 5,
                 R"sql(SELECT "gsdm","kjnd","kmdm","xmdm","ZTH" into "Tarvex数据整理"."dbo"."GL_XMKM"  FROM "2016年乡镇数据采集"."dbo"."GL_XMKM"where gsdm='001' and kjnd='2016' and zth='001')sql"},
                {"GL_XMZL", 30,
                 R"sql(SELECT  "BM","BMDM","GLH"='',"GSDM","ISJBZC","JL_RQ","JLR_ID","JSRQ","KJND","KSRQ","KZFS","LXND","PROJOBJID","REN","ren2"='',"ren3"='',"SFJT","SFMX","SJLY","SYZT","XG_RQ","XGR_ID","XMDM","XMFL","XMMC","YSJE"='',"ZDXMBZ","ZJLY","ZJM","ZY" into "Tarvex数据整理"."dbo"."GL_XMZL"  FROM "2016年乡镇数据采集"."dbo"."GL_XMZL" where gsdm='001' and kjnd='2016')sql"},
                {"GL_YEB", 48,
                 R"sql(SELECT "fzdm0","fzdm1","fzdm10","fzdm2","fzdm3","fzdm4","fzdm5","fzdm6","fzdm7","fzdm8","fzdm9","gsdm","ID","kjnd","kmdm","ncd","ncj","wbdm","yd1","yd10","yd11","yd12","yd13","yd2","yd3","yd4","yd5","yd6","yd7","yd8","yd9","yeblx","yj1","yj10","yj11","yj12","yj13","yj2","yj3","yj4","yj5","yj6","yj7","yj8","yj9","zdydm","zdylb","ZTH" into "Tarvex数据整理"."dbo"."GL_YEB"  FROM "2016年乡镇数据采集"."dbo"."GL_YEB" where gsdm='001' and kjnd='2016' and ZTH='001')sql"},
                {"GL_YEBK", 48,
                 R"sql(SELECT "fzdm0","fzdm1","fzdm10","fzdm2","fzdm3","fzdm4","fzdm5","fzdm6","fzdm7","fzdm8","fzdm9","gsdm","ID","kjnd","kmdm","ncd","ncj","wbdm","yd1","yd10","yd11","yd12","yd13","yd2","yd3","yd4","yd5","yd6","yd7","yd8","yd9","yeblx","yj1","yj10","yj11","yj12","yj13","yj2","yj3","yj4","yj5","yj6","yj7","yj8","yj9","zdydm","zdylb","ZTH" into "Tarvex数据整理"."dbo"."GL_YEBK" FROM "2016年乡镇数据采集"."dbo"."GL_YEBK" where gsdm='001' and kjnd='2016' and zth='001')sql"},
                {"GL_YHZH", 12,
                 R"sql(SELECT  "bcye","bdje","bjje","gsdm","kjnd","kmmc","rq","ydje","yhye","yjje","zh","ZTH" into "Tarvex数据整理"."dbo"."GL_YHZH"  FROM "2016年乡镇数据采集"."dbo"."GL_YHZH" where gsdm='001' and zth='001' and kjnd='2016')sql"},
                {"GL_YSKMLB", 3,
                 R"sql(SELECT "gsdm","lbdm","lbmc" into "Tarvex数据整理"."dbo"."GL_YSKMLB" FROM "2016年乡镇数据采集"."dbo"."GL_YSKMLB" where gsdm='001')sql"},
                {"GL_ZDFL", 41,
                 R"sql(SELECT "bds","bds_sl","bds_wb","bmdm","bz","flh","flxh","fzdm10","fzdm4","fzdm5","fzdm6","fzdm7","fzdm8","fzdm9","GroupId","gsdm","IsJZ","jd","JFSQID"='',"kjnd","kmdm","mxflh","OrderNo","pzlx","PZLY","RATE","rq","wldm","xh","xmdm","yq","ZBID","ZDName","zdy1dm","zdy2dm","zdy3dm","zdy4dm","zdy5dm","ZTH","zy","zydm" into "Tarvex数据整理"."dbo"."GL_ZDFL"  FROM "2016年乡镇数据采集"."dbo"."GL_ZDFL" where gsdm='001' and zth='001' and kjnd='2016')sql"},
                {"GL_ZDFLMX", 9,
                 R"sql(SELECT "fzdm","gsdm","jegs","kjnd","mxflh","mxlx","mxxh","zdflh","ZTH" into "Tarvex数据整理"."dbo"."GL_ZDFLMX"  FROM "2016年乡镇数据采集"."dbo"."GL_ZDFLMX" where gsdm='001' and kjnd='2016' and ZTH='001')sql"},
                {"GL_ZTCS", 96,
                 R"sql(SELECT "anyibz","bbpath","Bkdbh","BKDDataQXQY","Bkdfs","BKDSCPZ","BKDTD","BKDXSSJKM","BKDXSZHMC","BKDXYFSCZ","BKHSKM","BKPZLX","BKYHKMYZ","bmbmfa","bwbbf","bwbdm","bwbdw","bwbjd","bwbmc","BZDW","CNQZKM","CS1","CS2","CS3","CS4","CS5","cwzg","CZYJKM"='',"DELMAXDH","DJSH","DJXG","djxsws","dqbmfa","dwbmfa","DYBZ","DZKDM","FlowControl","Gkjzzf","GKKSBMFA","gsbmfa","HeadBKDH","hllx","hsdwdm","hsdwmc","JHSH","kjnd","kjqjs","kmbmfa","kmzbmfa","KZFS","KZQJ","KZYJ","Lrzy","Maxzdycount","mjxsxsws","NeedJfzb","NeedYskm","pzbtdf","PZFJPath","pzygkz","qykjqj","sfyjz","sjkzbz","SJLY","SJSJ","slxsws","SZQXKZ","TSXKZ","wbhs","wjsjlj","WJZ","xjbmfa","xmbmfa","YBJSY","YBKSY","YKJHCS","YKJHFS","ykjhyskm","yskz","yspzkz","YZKM","ZBKZ","ZBKZMB","ZBQYRQ","ZDYFZYSKZCS","ZDYFZYSLBDM","Zfpzbh","ZFSCBKD","ZPHS","Zpscbk","ztbh","ztkz","ztlb","ztmc","ztmce","ZTSX" into "Tarvex数据整理"."dbo"."GL_ZTCS"  FROM "2016年乡镇数据采集"."dbo"."GL_ZTCS" where hsdwdm='001' and kjnd='2016' and ztbh='001')sql"},
                {"PUBBMXX", 19,
                 R"sql(SELECT  "bmdm","bmlb","bmmc","fzrdm","fzrdm2"='',"fzrdm3"='',"gsdm","Jl_RQ","Jlr_ID","kjnd","SFMX","Sjly","syzt","tel","Xg_RQ","Xgr_ID","xjbms","zgrs","zjm"into "Tarvex数据整理"."dbo"."PUBBMXX"  FROM "2016年乡镇数据采集"."dbo"."PUBBMXX"where gsdm='001' and kjnd='2016')sql"},
                {"PUBGSZL", 45,
                 R"sql(SELECT "bizh","bz","cwemail","cwlxr","cwtel","DistrictCode","dwwb","email","fax","frdbxm","GKJZZF","gsdm","gsmc","gsmc_f","gsqc","http","hymc","Jl_RQ","Jlr_ID","jyfw","jym","khyh","kjnd","lxrxm","qgbemail","qgblxr","qgbtel","qydm","syzt","tel","txdz","UnitCharatcter","UnitType","webuse","Xg_RQ","Xgr_ID","xxemail","xxlxr","xxtel","yb","yyzh","zgbl","zgrs","zh","zzsh" into "Tarvex数据整理"."dbo"."PUBGSZL"  FROM "2016年乡镇数据采集"."dbo"."PUBGSZL" where gsdm='001' and kjnd='2016')sql"},
                {"PUBKJQJ", 13,
                 R"sql(SELECT "chjzbz","gsdm","jsrq","jzbz","jzzt"='',"kjnd","kjqjxh","qmpzpc","qsrq","syzt","xgzt","ZTH","zzqmcl" into "Tarvex数据整理"."dbo"."PUBKJQJ"  FROM "2016年乡镇数据采集"."dbo"."PUBKJQJ" where gsdm='001' and kjnd='2016' and ZTH='001')sql"},
                {"PUBKSZL", 85,
                 R"sql(SELECT "BEM_DWJB","bizh","bz","bzbz1","bzbz2","bzbz3","bzbz4","bzbz5","bzbz6","bzbz7","bzly","bzSYzt","cwfzr","dqdm","dwdm","dwfzr","dwgbm","dwjb","dwjbr","dwmc","dwqc","dwwb","dwxz","dyckkm","dyckzh","dysjk","dyyhckzh","dyyhxjzh","dyzwztckkm","dyzwzth","dyzwztmc","email","fax","frdbxm","GKJZZF","gsdm","HKFS","http","JL_RQ","JLR_ID","jyfw","jym","khyh","kjnd","lxrxm","MAXDJSQJE","MAXRSQJE","MAXSQJEBL","MQKPBZ","PJMAXSL","sfcj","sfgys","sfjtndw","sfkh","SFMX","sftzjy","sfxykz","sfysdw","sh","sjdwdm","sjlbdm","Sjly","SQYHDM","SQYHMC","syzt","tel","txdz","UnitType","WebMemberID","XG_RQ","XGR_ID","xyed","xyts","yb","yfzkkmdm","YHBM","YQGUID"='',"yszkkmdm","yufzkkmdm","yuszkkmdm","yyzh","zh","ZJYHDM","ZJYHMC","zzsh" into "Tarvex数据整理"."dbo"."PUBKSZL"  FROM "2016年乡镇数据采集"."dbo"."PUBKSZL" where gsdm='001' and kjnd='2016')sql"},
                {"PUBZYXX", 37,
                 R"sql(SELECT "appsw"='',"bdmm"='',"bmdm","bz","csny","DFYH","dzrq","email","GLzt","GRZH","gsdm","GWKYH","GWKZH","imei"='',"JL_RQ","JLR_ID","jtzz","kjnd","lzrq","password","scgzzn","sfzh","Sjly","syzt","tel","WBDM"='',"whcd","xb","XG_RQ","XGR_ID","zjm","zw","zydm","zylb","zyxm","zyzp","zyzp1"=''into "Tarvex数据整理"."dbo"."PUBZYXX"  FROM "2016年乡镇数据采集"."dbo"."PUBZYXX" where gsdm='001' and kjnd='2016')sql"},
};

class SampleDatabaseTest : public SampleTest {
protected:
    fs::path SourceFile() const { return dir_.Path() / "2016年乡镇数据采集.sqlite"; }
};

TEST_F(SampleDatabaseTest, LookupListsTheAccountSetsOfAYear) {
    const Rows sets =
        Query(S(), R"(SELECT hsdwdm,ztmc,ztbh FROM "2016年乡镇数据采集"."dbo"."GL_Ztcs" where  kjnd Like '%2016%')");
    EXPECT_EQ(std::set<std::vector<std::string>>(sets.begin(), sets.end()),
              (std::set<std::vector<std::string>>{{"001", "演示账套", "001"},
                                                  {"001", "城关镇工会账套", "011"},
                                                  {"002", "演示账套2", "002"},
                                                  {"002", "河西乡专项资金账套", "012"},
                                                  {"003", "旧制度账套", "003"},
                                                  {"003", "东山乡食堂账套", "013"}}));
    EXPECT_EQ(
        Query(S(), R"(SELECT hsdwdm,ztmc,ztbh FROM "2016年乡镇数据采集"."dbo"."GL_Ztcs" where  kjnd Like '%%')").size(),
        18u);
    EXPECT_EQ(Query(S(), R"(SELECT hsdwdm,ztmc,ztbh FROM "2016年乡镇数据采集"."dbo"."GL_Ztcs" where  kjnd Like '%16%')")
                  .size(),
              6u);
    EXPECT_TRUE(
        Query(S(), R"(SELECT hsdwdm,ztmc,ztbh FROM "2016年乡镇数据采集"."dbo"."GL_Ztcs" where  kjnd Like '%2018%')")
            .empty());
    const Outcome o =
        Ok(S(), R"(SELECT hsdwdm,ztmc,ztbh FROM "2016年乡镇数据采集"."dbo"."GL_Ztcs" where  kjnd Like '%2015%')");
    for (const ColumnInfo& c : *o.columns) EXPECT_EQ(c.type, SqlType::VarChar) << c.name;
}

TEST_F(SampleDatabaseTest, SelectionFindsTheNamesContainingTheChosenOneUnderNewSubjectUnits) {
    const auto select = [&](const std::string& name, const std::string& year) {
        Rows rows =
            Query(S(), R"(SELECT hsdwdm,ztmc,ztbh FROM "2016年乡镇数据采集"."dbo"."GL_Ztcs" where ztmc like '%)" +
                           name + "%'and kjnd Like '%" + year + "%'and hsdwmc like '%新科目%'");
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    EXPECT_EQ(select("演示账套", "2016"), (Rows{{"001", "演示账套", "001"}, {"002", "演示账套2", "002"}}));
    EXPECT_EQ(select("演示账套2", "2017"), (Rows{{"002", "演示账套2", "002"}}));
    EXPECT_TRUE(select("旧制度账套", "2016").empty());
    EXPECT_EQ(select("工会", "2015"), (Rows{{"001", "城关镇工会账套", "011"}}));
    EXPECT_TRUE(Query(S(), "SELECT 1 FROM GL_Ztcs WHERE hsdwdm = '003' AND hsdwmc LIKE '%新科目%'").empty());
}

TEST_F(SampleDatabaseTest, EveryCopyStatementCopiesItsFilteredRows) {
    Ok(S(), "create database Tarvex数据整理");
    for (const Copy& c : kCopies) {
        SCOPED_TRACE(c.table);
        const std::string sql = c.sql;
        const Outcome copied = Ok(S(), sql);
        // The statement's own select list and its FROM ... WHERE ... part, without INTO.
        const size_t into = sql.find("into \"Tarvex数据整理\"");
        const size_t from = sql.find("FROM \"2016年乡镇数据采集\"");
        ASSERT_NE(into, std::string::npos);
        ASSERT_NE(from, std::string::npos);
        const std::string selectList = sql.substr(0, into);
        const std::string source = sql.substr(from);

        const Outcome target = Ok(S(), "SELECT * FROM \"Tarvex数据整理\".\"dbo\".\"" + std::string(c.table) + "\"");
        ASSERT_TRUE(target.columns);
        EXPECT_EQ(target.columns->size(), c.columns);
        Rows expected = Query(S(), selectList + source);
        Rows actual = target.rows;
        std::sort(expected.begin(), expected.end());
        std::sort(actual.begin(), actual.end());
        EXPECT_EQ(actual, expected);
        EXPECT_EQ(copied.rowCount, static_cast<std::int64_t>(actual.size()));

        // Something is copied, and less than the whole table.
        const Rows all =
            Query(S(), "SELECT COUNT(*) FROM \"2016年乡镇数据采集\".\"dbo\".\"" + std::string(c.table) + "\"");
        EXPECT_GT(actual.size(), 0u);
        EXPECT_LT(actual.size(), std::stoul(all[0][0]));
    }
}

TEST_F(SampleDatabaseTest, KeyColumnsHaveTheirTypes) {
    const Outcome o = Ok(S(), "SELECT gsdm, ZTH, kjqj, pzh, je, jdbz FROM GL_PZNR WHERE IDPZNR = 1");
    const std::vector<ColumnInfo>& c = *o.columns;
    EXPECT_EQ(c[0].type, SqlType::VarChar);
    EXPECT_FALSE(c[0].nullable);
    EXPECT_EQ(c[2].length, 6);
    EXPECT_EQ(c[3].type, SqlType::Int);
    EXPECT_EQ(c[4].type, SqlType::Decimal);
    EXPECT_EQ(c[4].precision, 18);
    EXPECT_EQ(c[4].scale, 2);
    EXPECT_EQ(o.rows, (Rows{{"001", "001", "201501", "1", o.rows[0][4], "借"}}));
    const Outcome sets = Ok(S(), "SELECT kjnd, ztbh FROM GL_Ztcs WHERE ztmc = '演示账套'");
    EXPECT_EQ(sets.columns->at(0).length, 4);
    EXPECT_EQ(sets.rows.size(), 3u);
    EXPECT_EQ(Query(S(), "SELECT pzrq FROM GL_PZML WHERE idpzh = 1"), (Rows{{"2015-01-01 00:00:00.000"}}));
}

TEST_F(SampleDatabaseTest, NonKeyColumnsHoldSomeNulls) {
    // Which columns of GL_Ztcs hold NULLs, read with a plain sqlite3.
    const Rows columns = PlainQuery(SourceFile(), "SELECT name, \"notnull\" FROM pragma_table_info('GL_Ztcs')");
    size_t withNulls = 0;
    for (const auto& column : columns) {
        const Rows nulls = PlainQuery(SourceFile(), "SELECT COUNT(*) FROM GL_Ztcs WHERE \"" + column[0] + "\" IS NULL");
        if (column[1] == "1") {
            EXPECT_EQ(nulls[0][0], "0") << column[0];
        }
        if (nulls[0][0] != "0") ++withNulls;
    }
    EXPECT_GT(withNulls, 5u);
    EXPECT_EQ(
        Query(S(), "SELECT COUNT(*) FROM GL_Ztcs WHERE hsdwdm IS NULL OR ztbh IS NULL OR kjnd IS NULL OR ztmc IS NULL"),
        (Rows{{"0"}}));
}

TEST_F(SampleDatabaseTest, VouchersBalance) {
    const fs::path f = SourceFile();
    // Debits equal credits in every voucher, and pzje is their total.
    EXPECT_EQ(PlainQuery(f,
                         "SELECT COUNT(*) FROM (SELECT gsdm, ZTH, kjqj, pzh, "
                         "round(sum(CASE jdbz WHEN '借' THEN je ELSE -je END), 2) AS d FROM GL_PZNR "
                         "GROUP BY 1, 2, 3, 4) WHERE d <> 0"),
              (Rows{{"0"}}));
    EXPECT_EQ(PlainQuery(f,
                         "SELECT COUNT(*) FROM GL_PZML m WHERE round(m.pzje, 2) <> (SELECT round(sum(je), 2) "
                         "FROM GL_PZNR n WHERE n.gsdm = m.gsdm AND n.ZTH = m.ZTH AND n.kjqj = m.kjqj AND "
                         "n.pzh = m.pzh AND n.jdbz = '借')"),
              (Rows{{"0"}}));
    // Every voucher has lines; every line's account is in the chart of its account set and year.
    EXPECT_EQ(PlainQuery(f,
                         "SELECT COUNT(*) FROM GL_PZML m WHERE NOT EXISTS (SELECT 1 FROM GL_PZNR n WHERE "
                         "n.gsdm = m.gsdm AND n.ZTH = m.ZTH AND n.kjqj = m.kjqj AND n.pzh = m.pzh)"),
              (Rows{{"0"}}));
    EXPECT_EQ(PlainQuery(f,
                         "SELECT COUNT(*) FROM GL_PZNR n WHERE NOT EXISTS (SELECT 1 FROM GL_KMXX k WHERE "
                         "k.gsdm = n.gsdm AND k.ZTH = n.ZTH AND k.kjnd = substr(n.kjqj, 1, 4) AND k.kmdm = n.kmdm)"),
              (Rows{{"0"}}));
    // Voucher numbers run from 1 per account set and period.
    EXPECT_EQ(PlainQuery(f, "SELECT min(pzh), max(pzh), COUNT(DISTINCT gsdm || ZTH || kjqj) FROM GL_PZML"),
              (Rows{{"1", "4", "216"}}));
    // Counterparty items belong to lines on receivable and payable accounts.
    EXPECT_EQ(PlainQuery(f,
                         "SELECT COUNT(*) FROM GL_WLYW w WHERE NOT EXISTS (SELECT 1 FROM GL_PZNR n WHERE "
                         "n.IDPZNR = w.IDPZNR AND n.kmdm = w.kmdm AND n.je = w.je AND n.wldm = w.wldm)"),
              (Rows{{"0"}}));
    EXPECT_GT(std::stoi(PlainQuery(f, "SELECT COUNT(*) FROM GL_WLYW")[0][0]), 0);
}

TEST_F(SampleDatabaseTest, BalancesFollowTheVouchers) {
    const fs::path f = SourceFile();
    std::string debits = "0", credits = "0";
    for (int m = 1; m <= 13; ++m) {
        debits += " + yj" + std::to_string(m);
        credits += " + yd" + std::to_string(m);
    }
    // Monthly totals are the voucher lines' totals.
    EXPECT_EQ(PlainQuery(f, "SELECT round(sum(" + debits + "), 2), round(sum(" + credits +
                                "), 2) FROM GL_YEB "
                                "WHERE gsdm = '002' AND ZTH = '002' AND kjnd = '2016'"),
              PlainQuery(f,
                         "SELECT round(sum(CASE jdbz WHEN '借' THEN je ELSE 0 END), 2), "
                         "round(sum(CASE jdbz WHEN '贷' THEN je ELSE 0 END), 2) FROM GL_PZNR "
                         "WHERE gsdm = '002' AND ZTH = '002' AND kjqj LIKE '2016%'"));
    EXPECT_EQ(PlainQuery(f,
                         "SELECT COUNT(*) FROM GL_YEB y WHERE round(y.yj3, 2) <> (SELECT "
                         "round(coalesce(sum(je), 0), 2) FROM GL_PZNR n WHERE n.gsdm = y.gsdm AND n.ZTH = y.ZTH AND "
                         "n.kjqj = y.kjnd || '03' AND n.kmdm = y.kmdm AND n.jdbz = '借')"),
              (Rows{{"0"}}));
    // Opening balances carry the year before and stay balanced.
    EXPECT_EQ(PlainQuery(f, "SELECT COUNT(*) FROM GL_YEB WHERE kjnd = '2015' AND (ncj <> 0 OR ncd <> 0)"),
              (Rows{{"0"}}));
    EXPECT_EQ(PlainQuery(f,
                         "SELECT COUNT(*) FROM (SELECT gsdm, ZTH, kjnd, round(sum(ncj) - sum(ncd), 2) AS d "
                         "FROM GL_YEB GROUP BY 1, 2, 3) WHERE d <> 0"),
              (Rows{{"0"}}));
    EXPECT_GT(std::stoi(PlainQuery(f, "SELECT COUNT(*) FROM GL_YEB WHERE kjnd = '2017' AND ncj > 0")[0][0]), 0);
    EXPECT_EQ(PlainQuery(f, "SELECT COUNT(*) FROM GL_YEB"), PlainQuery(f, "SELECT COUNT(*) FROM GL_YEBK"));
}

TEST(SampleScaleTest, ScaleMultipliesTheVouchers) {
    TempDir one, three;
    standin::Engine::CreateSample(one.Path(), 1);
    standin::Engine::CreateSample(three.Path(), 3);
    const auto count = [](const TempDir& d, const char* table) {
        return std::stoi(
            PlainQuery(d.Path() / "2016年乡镇数据采集.sqlite", std::string("SELECT COUNT(*) FROM ") + table)[0][0]);
    };
    EXPECT_EQ(count(one, "GL_PZML"), 864);
    EXPECT_EQ(count(three, "GL_PZML"), 3 * 864);
    EXPECT_GT(count(three, "GL_PZNR"), 2 * count(one, "GL_PZNR"));
    EXPECT_EQ(count(three, "GL_Ztcs"), count(one, "GL_Ztcs"));
    // A second sample replaces the first.
    standin::Engine::CreateSample(three.Path(), 1);
    EXPECT_EQ(count(three, "GL_PZML"), 864);
}

// The township sample: thirteen units over 2014-2018 with 27 convertible account sets, 25 in
// 2014, when unit 107 keeps no books; every table holds rows for exactly the units, account sets
// and years of GL_Ztcs that its columns distinguish, so that each conversion copies rows.
TEST(TownshipSampleTest, UnitsYearsAndRowsForBatchConversion) {
    TempDir dir;
    standin::Engine::CreateSample(dir.Path(), 1, standin::Engine::Sample::Township);
    const fs::path f = dir.Path() / "2016年乡镇数据采集.sqlite";
    EXPECT_EQ(PlainQuery(f, "SELECT COUNT(DISTINCT hsdwdm), min(kjnd), max(kjnd) FROM GL_Ztcs"),
              (Rows{{"13", "2014", "2018"}}));
    EXPECT_EQ(PlainQuery(f, "SELECT kjnd, COUNT(*) FROM GL_Ztcs WHERE hsdwmc LIKE '%新科目%' GROUP BY 1 ORDER BY 1"),
              (Rows{{"2014", "25"}, {"2015", "27"}, {"2016", "27"}, {"2017", "27"}, {"2018", "27"}}));
    EXPECT_EQ(PlainQuery(f, "SELECT DISTINCT hsdwdm FROM GL_Ztcs WHERE hsdwmc NOT LIKE '%新科目%' ORDER BY 1"),
              (Rows{{"111"}, {"112"}, {"113"}}));
    EXPECT_EQ(PlainQuery(f, "SELECT COUNT(*) FROM GL_Ztcs WHERE hsdwdm = '107' AND kjnd = '2014'"), (Rows{{"0"}}));
    EXPECT_EQ(PlainQuery(f, "SELECT ztmc, COUNT(DISTINCT hsdwdm) FROM GL_Ztcs WHERE ztmc LIKE '%工会账套%' OR "
                            "ztmc LIKE '%专项资金%' GROUP BY 1 ORDER BY 1"),
              (Rows{{"专项资金", "1"}, {"专项资金账套", "1"}, {"工会账套", "3"}}));

    const Rows tables = PlainQuery(f, "SELECT name FROM sqlite_master WHERE type = 'table' AND name <> 'GL_Ztcs'");
    EXPECT_EQ(tables.size(), 33u);
    for (const auto& table : tables) {
        SCOPED_TRACE(table[0]);
        std::set<std::string> columns;
        for (const auto& c : PlainQuery(f, "SELECT lower(name) FROM pragma_table_info('" + table[0] + "')"))
            columns.insert(c[0]);
        std::string keys = "gsdm", setKeys = "hsdwdm";
        if (columns.count("zth")) keys += ", zth", setKeys += ", ztbh";
        if (columns.count("kjnd")) keys += ", kjnd", setKeys += ", kjnd";
        else if (columns.count("kjqj")) keys += ", substr(kjqj, 1, 4)", setKeys += ", kjnd";
        const std::string inTable = "SELECT DISTINCT " + keys + " FROM \"" + table[0] + "\"";
        const std::string inSets = "SELECT DISTINCT " + setKeys + " FROM GL_Ztcs";
        EXPECT_EQ(PlainQuery(f, "SELECT COUNT(*) FROM (" + inSets + " EXCEPT " + inTable + ")"), (Rows{{"0"}}));
        EXPECT_EQ(PlainQuery(f, "SELECT COUNT(*) FROM (" + inTable + " EXCEPT " + inSets + ")"), (Rows{{"0"}}));
    }
}

}  // namespace
}  // namespace enginetest
