// Template pages, form submission in its formats, field validation and the form processor.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "store/envelope.h"
#include "store/queue_item.h"
#include "store/store_paths.h"
#include "web/template/form_pages.h"
#include "web/template/tests/fake_host.h"

namespace web {
namespace {

using web_test::CFakeHost;

class Forms : public ::testing::Test {
 protected:
  void SetUp() override {
    host.Write("kaldor/theaders.htm", "<H>(*form_title*)</H>\n");
    host.Write("kaldor/tfooters.htm", "<F>\n");
    host.Account("sales", "[SETUP]\r\nadrs=orders@example.test\r\n");
  }
  std::vector<std::string> Queued() {
    return store::ListCompleteItems(store::InqueueDir(host.dir.path()), store::ItemKind::kInbound);
  }
  CFakeHost host;
  CTemplateRequest req{&host};
};

TEST(FieldValidation, EveryClassAndItsMessage) {
  struct Case {
    const char* name;
    const char* value;
    int rc;
    const char* stored;  // the value after validation
    const char* message;
  };
  const Case cases[] = {
      {"rn_Age", " 42 ", 0, "42", ""},
      {"rn_Age", "4x", -1, "4x", "The field [<B>Age</B>] must be a valid <B>number</B>.<BR>"},
      {"on_Age", "-7", 0, "-7", ""},
      {"on_Age", "+", -1, "+", "The field [<B>Age</B>] must be a valid <B>number</B>.<BR>"},
      {"on_Age", "  ", 0, "  ", ""},
      {"rt_Name", " ", -1, " ", "The field [<B>Name</B>] cannot be empty.<BR>"},
      {"rt_Name", " x ", 0, " x ", ""},
      {"ra_Mail", " a.b_c@d.e ", 0, "a.b_c@d.e", ""},
      {"ra_Mail", "a-b@d.e", -1, "a-b@d.e",
       "The field [<B>Mail</B>] must be a valid <B>Email address</B> (error in name@).<BR>"},
      {"oa_Mail", "ab", -1, "ab",
       "The field [<B>Mail</B>] must be a valid <B>Email address</B> (@domain missing).<BR>"},
      {"oa_Mail", "a@b c", -1, "a@b c",
       "The field [<B>Mail</B>] must be a valid <B>Email address</B> (error in @domain).<BR>"},
      {"xn_Free", "abc", 0, "abc", ""},  // not a checked name
      {"rn", "abc", 0, "abc", ""},
      {"rn_<b>", "", -1, "", "The field [<B>&lt;b&gt;</B>] cannot be empty.<BR>"},
  };
  for (const Case& c : cases) {
    std::string value = c.value, messages;
    EXPECT_EQ(ValidateField(c.name, &value, &messages), c.rc) << c.name << "=" << c.value;
    EXPECT_EQ(value, c.stored) << c.name;
    EXPECT_EQ(messages, c.message) << c.name;
  }
}

TEST(FormFormat, NumbersAndNames) {
  EXPECT_EQ(FormFormatOf("ini"), kFormatIni);
  EXPECT_EQ(FormFormatOf("CSV"), kFormatCsv);
  EXPECT_EQ(FormFormatOf("Tab"), kFormatTab);
  EXPECT_EQ(FormFormatOf("GATE"), kFormatGate);
  EXPECT_EQ(FormFormatOf("pager"), kFormatPager);
  EXPECT_EQ(FormFormatOf("6"), 6);
  EXPECT_EQ(FormFormatOf("7"), kFormatMail);
  EXPECT_EQ(FormFormatOf("xml"), kFormatMail);
}

TEST(UrlEncoded, NamesVerbatimValuesDecodedLastWins) {
  FormFields f = DecodeFormFields("ShowForm&a=1&a=2&name%41=x%41+y&bad=%zz&e=");
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0], (std::pair<std::string, std::string>("a", "2")));
  EXPECT_EQ(f[1], (std::pair<std::string, std::string>("name%41", "xA y")));
  EXPECT_EQ(f[2].second, "%zz");
  EXPECT_EQ(f[3].second, "");
  EXPECT_EQ(UrlDecode("%4"), "%4");
}

TEST_F(Forms, MissingControlFieldsAndUnknownAccount) {
  ASSERT_EQ(SubmitForm(req, "ShowForm&x=1"), 0);
  EXPECT_EQ(host.page,
            "<H>Form submission</H>\n[_formname_] variable missing.<BR>"
            "[_account_] variable missing.<BR><F>\n");
  host.page.clear();
  ASSERT_EQ(SubmitForm(req, "_formname_=f&_account_=../etc"), 0);
  EXPECT_NE(host.page.find("Sorry! Account [../etc] does not exist.<BR>"), std::string::npos);
  EXPECT_TRUE(Queued().empty());
}

TEST_F(Forms, MailFormatQueuesTheDataWithReferencesReplaced) {
  host.realMail = true;
  ASSERT_EQ(SubmitForm(req,
                       "SendForm&_formname_=Order&_account_=sales&_validate_=1&rt_Name=Ann&"
                       "rn_Qty=+3+&note=for+(*rt_Name*)+(*nobody*)&_subject_=New+order"),
            0);
  EXPECT_NE(host.page.find("The following data have been sent to <B>&lt;orders@example.test&gt; "
                           "Order</B>\n<PRE>\n\r\nrt_Name=Ann\r\nrn_Qty=3\r\n"
                           "note=for Ann (&#42;nobody*)\r\n\n</PRE>\n<F>\n"),
            std::string::npos)
      << host.page;
  std::vector<std::string> items = Queued();
  ASSERT_EQ(items.size(), 1u);
  std::string dir = store::InqueueDir(host.dir.path());
  std::string msg = testing_support::Read(dir + "/" + items[0]);
  EXPECT_NE(msg.find("Subject: New order\r\n"), std::string::npos);
  EXPECT_NE(msg.find("note=3Dfor Ann (*nobody*)"), std::string::npos) << msg;
  store::EnvelopeFields env;
  ASSERT_EQ(store::ReadEnvelope(store::ItemSibling(dir + "/" + items[0], 'R'), &env), 0);
  ASSERT_EQ(env.to.size(), 1u);
  EXPECT_EQ(env.to[0], "orders@example.test");
  EXPECT_FALSE(platform::FileExists(host.dir / "MAILIN/sales/MIM.TMP"));
}

// One large field referred to many times cannot make the submission grow without end: the
// references together insert at most 1 MB, the rest stay as written.
TEST_F(Forms, ReferencesInsertAtMostOneMegabyteAltogether) {
  const std::string big(400 * 1024, 'x');
  std::string refs;
  for (int i = 0; i < 100; ++i) refs += "(*big*)";
  ASSERT_EQ(SubmitForm(req, "_formname_=f&_account_=sales&name=Ann&big=" + big + "&many=" + refs +
                                "&note=for+(*name*)+(*big*)"),
            0);
  // Two copies fit into the megabyte, the third and the rest do not; a small one still does.
  std::string escapedRef = "(&#42;big*)";
  std::string many = "many=" + big + big + escapedRef;
  for (int i = 3; i < 100; ++i) many += escapedRef;
  EXPECT_NE(host.page.find("\r\n" + many + "\r\n"), std::string::npos);
  EXPECT_NE(host.page.find("\r\nnote=for Ann " + escapedRef + "\r\n"), std::string::npos);
  EXPECT_LT(host.page.size(), 2u * 1024 * 1024);
}

TEST_F(Forms, FormNameAndSubjectStayOnOneLine) {
  host.realMail = true;
  ASSERT_EQ(SubmitForm(req, "_formname_=F%0D%0ABcc:+x@evil.test&_account_=sales&a=1"), 0);
  ASSERT_EQ(SubmitForm(req, "_formname_=G&_account_=sales&_subject_=S%0D%0ABcc:+x@evil.test"), 0);
  std::vector<std::string> items = Queued();
  ASSERT_EQ(items.size(), 2u);
  std::string dir = store::InqueueDir(host.dir.path());
  for (const std::string& item : items) {
    std::string msg = testing_support::Read(dir + "/" + item);
    EXPECT_EQ(msg.find("\r\nBcc:"), std::string::npos) << msg;
    store::EnvelopeFields env;
    ASSERT_EQ(store::ReadEnvelope(store::ItemSibling(dir + "/" + item, 'R'), &env), 0);
    ASSERT_EQ(env.to.size(), 1u);
    EXPECT_EQ(env.to[0], "orders@example.test");
  }
}

TEST_F(Forms, TwoSubmissionsToOneAccountAtOnceKeepTheirData) {
  host.realMail = true;
  auto worker = [&](int id) {
    CFakeHost local;
    local.settings = host.settings;
    local.realMail = true;
    CTemplateRequest r(&local);
    for (int i = 0; i < 10; ++i) {
      std::string tag = std::to_string(id) + "_" + std::to_string(i);
      ASSERT_EQ(SubmitForm(r, "_formname_=f&_account_=sales&tag=" + tag), 0);
      ASSERT_NE(local.page.find("tag=" + tag + "\r\n"), std::string::npos);
      local.page.clear();
    }
  };
  std::thread a(worker, 1), b(worker, 2);
  a.join();
  b.join();
  std::vector<std::string> items = Queued();
  ASSERT_EQ(items.size(), 20u);
  std::string dir = store::InqueueDir(host.dir.path());
  std::set<std::string> tags;
  for (const std::string& item : items) {
    // Each message holds its own submission's data: every tag once, never another's.
    std::string msg = testing_support::Read(dir + "/" + item);
    size_t t = msg.find("tag=3D");
    ASSERT_NE(t, std::string::npos) << msg;
    tags.insert(msg.substr(t + 6, msg.find("\r\n", t) - t - 6));
  }
  EXPECT_EQ(tags.size(), 20u);
}

TEST_F(Forms, ValidationFailureQueuesNothing) {
  ASSERT_EQ(SubmitForm(req, "_formname_=f&_account_=sales&_validate_=1&rn_Age=4x&ra_M=a"), 0);
  EXPECT_NE(host.page.find("must be a valid <B>number</B>"), std::string::npos);
  EXPECT_NE(host.page.find("(@domain missing)"), std::string::npos);
  EXPECT_TRUE(host.mails.empty());
}

TEST_F(Forms, IniFormatEncodesLineBreaks) {
  ASSERT_EQ(SubmitForm(req, "_formname_=f&_account_=sales&_format_=INI&a=1&b=x%0D%0Ay"), 0);
  ASSERT_EQ(host.mails.size(), 1u);
  EXPECT_EQ(host.mails[0].subject, "Web form filled: f");
  EXPECT_EQ(host.mails[0].to[0], "<orders@example.test> f");
  EXPECT_NE(host.page.find("[DATA]\r\na=1\r\nb=x\x80\x80y\r\n"), std::string::npos);
}

TEST_F(Forms, CsvFormatSendsNoFieldData) {
  ASSERT_EQ(SubmitForm(req, "_formname_=f&_account_=sales&_format_=csv&a=1"), 0);
  ASSERT_EQ(host.mails.size(), 1u);
  EXPECT_NE(host.page.find("<PRE>\n\n</PRE>"), std::string::npos);
}

TEST_F(Forms, GateFormatWritesTheGateFile) {
  ASSERT_EQ(SubmitForm(req,
                       "_formname_=p&_account_=sales&_format_=gate&ra_from=a@b.c&"
                       "rn_tono=555&rt_subj=S&rt_body=hello"),
            0);
  EXPECT_TRUE(host.mails.empty());
  std::vector<std::string> gates =
      platform::FindFiles(store::InqueueDir(host.dir.path()), "I*.INI");
  ASSERT_EQ(gates.size(), 1u);
  std::string g = testing_support::Read(store::InqueueDir(host.dir.path()) + "/" + gates[0]);
  EXPECT_NE(g.find("[FROM]\r\ndate="), std::string::npos);
  EXPECT_NE(g.find("from=a@b.c\r\nreply-to=a@b.c\r\nsubject=S\r\n[GATE232]\r\nfrom=a@b.c\r\n"
                   "tono=555\r\nsubj=S\r\nbody=hello\r\n"),
            std::string::npos)
      << g;
  // Line breaks in the text cannot end the gate file's body line.
  ASSERT_EQ(SubmitForm(req,
                       "_formname_=p&_account_=sales&_format_=gate&ra_from=a@b.c&"
                       "rn_tono=555&rt_body=one%0D%0A[FROM]%0Afrom=x"),
            0);
  gates = platform::FindFiles(store::InqueueDir(host.dir.path()), "I*.INI");
  ASSERT_EQ(gates.size(), 2u);
  g = testing_support::Read(store::InqueueDir(host.dir.path()) + "/" + gates[1]);
  EXPECT_NE(g.find("body=one\x80\x80[FROM]\x82"
                   "from=x\r\n"),
            std::string::npos)
      << g;
  host.page.clear();
  ASSERT_EQ(SubmitForm(req, "_formname_=p&_account_=sales&_format_=4&rn_tono=555"), 0);
  EXPECT_NE(host.page.find("Data missing. Please retry.<BR>"), std::string::npos);
  host.page.clear();
  std::string body(kMaxPagerText + 1, 'b');
  ASSERT_EQ(SubmitForm(req,
                       "_formname_=p&_account_=sales&_format_=4&ra_from=a@b.c&rn_tono=1&"
                       "rt_body=" +
                           body),
            0);
  EXPECT_NE(host.page.find("Message too long (maximum 4096 characters).<BR>"), std::string::npos);
  host.page.clear();
  ASSERT_EQ(SubmitForm(req,
                       "_formname_=p&_account_=sales&_format_=4&ra_from=a@b.c&rn_tono=1&"
                       "rt_body=" +
                           body.substr(1)),
            0);
  EXPECT_EQ(host.page.find("too long"), std::string::npos);
}

TEST_F(Forms, AnswerPageGetsTheNotice) {
  host.Write("MAILIN/sales/thanks.htm", "Thanks (*rt_Name*)\n");
  ASSERT_EQ(SubmitForm(req, "_formname_=f&_account_=sales&rt_Name=Bo&_answer_=thanks.htm"), 0);
  EXPECT_EQ(host.page.substr(0, 10), "Thanks Bo\n");
  EXPECT_NE(host.page.find("<FONT SIZE=-1>Copyright"), std::string::npos);
  // A missing answer page is said (the data went out all the same).
  host.page.clear();
  ASSERT_EQ(SubmitForm(req, "_formname_=f&_account_=sales&_answer_=gone.htm"), 0);
  EXPECT_NE(host.page.find("Cannot open file ["), std::string::npos) << host.page;
  EXPECT_EQ(host.mails.size(), 2u);
  // ".." is refused: the standard page is shown instead.
  host.page.clear();
  ASSERT_EQ(SubmitForm(req, "_formname_=f&_account_=sales&_answer_=../sales/thanks.htm"), 0);
  EXPECT_NE(host.page.find("The following data have been sent"), std::string::npos);
}

TEST_F(Forms, TemplatePageVariablesAndLookup) {
  host.Account("ann", "[SETUP]\r\npageprof=Full\r\n");
  host.Write("kaldor/Full/tpage.htm", "full (*form_profile*) (*is_master*) (*form_control*)\n");
  host.Write("kaldor/tpage.htm", "base\n");
  TemplatePage page;
  page.name = "tpage";
  page.title = "T";
  page.session = "JID";
  page.account = "ann";
  page.command = "ButtonProc";
  req.copyrightCount = 2;
  ASSERT_EQ(ShowTemplatePage(req, page), 0);
  EXPECT_EQ(host.page,
            "full Full 0 <INPUT NAME=\"_jid\" TYPE=\"hidden\" VALUE=\"JID\"><INPUT NAME=\"_acc\" "
            "TYPE=\"hidden\" VALUE=\"ann\">\n");
  EXPECT_EQ(req.vars.Get("form_param"),
            "ACTION=kaldor.dll?ButtonProc METHOD=\"POST\" "
            "ENCTYPE=\"application/x-www-form-urlencoded\"");
  host.page.clear();
  page.account = "nobody";  // no account: the "Limited" profile, then the kaldor directory
  ASSERT_EQ(ShowTemplatePage(req, page), 0);
  EXPECT_EQ(host.page, "base\n");
  host.page.clear();
  req.copyrightCount = 1;
  ASSERT_EQ(ShowTemplatePage(req, page), 0);
  EXPECT_NE(host.page.find("\n<FONT SIZE=-1>Copyright"), std::string::npos);
}

TEST_F(Forms, ProcessorWithoutAnswerListsVariablesAndMissingPaths) {
  FormFields f = {{"_account_", "sales"}, {"x", "<i>"}};
  ASSERT_EQ(ProcessForm(req, f), 0);
  EXPECT_NE(host.page.find("<B>_answer_</B>=&gt; No filename. Format: [\\][path\\]filename.ext"),
            std::string::npos);
  EXPECT_NE(host.page.find("\nx=&lt;i&gt;\n"), std::string::npos) << host.page;
  host.page.clear();
  ASSERT_EQ(ProcessForm(req, {{"x", "1"}}), 0);
  EXPECT_NE(host.page.find("[_account_] variable missing.<BR>"), std::string::npos);
  host.page.clear();
  ASSERT_EQ(ProcessForm(req, {{"_account_", "ghost"}}), 0);
  EXPECT_NE(host.page.find("[ghost] does not exists.<BR>"), std::string::npos);
  host.page.clear();
  ASSERT_EQ(ProcessForm(req, {{"_account_", "sales"}, {"_validate_", "1"}, {"rn_N", "x"}}), 0);
  EXPECT_NE(host.page.find("must be a valid <B>number</B>"), std::string::npos);
}

TEST_F(Forms, ProcessorWritesThePageAndAnswers) {
  host.Write("MAILIN/sales/gen.tpl", "<P>Hello (*who*) from (*_account_*)</P>\n");
  host.Write("MAILIN/sales/ok.htm", "made (*_copyright*)\n");
  FormFields f = {{"_account_", "sales"},
                  {"who", "Ann"},
                  {"_outtemp_", "gen.tpl"},
                  {"_outpage_", "pages/out.htm"},
                  {"_answer_", "ok.htm"}};
  (void)platform::MakeDirectory(host.dir / "MAILIN/sales/pages");
  ASSERT_EQ(ProcessForm(req, f), 0);
  EXPECT_EQ(testing_support::Read(host.dir / "MAILIN/sales/pages/out.htm"),
            "<P>Hello Ann from sales</P>\n");
  EXPECT_EQ(host.page.substr(0, 14), "made Copyright");
  EXPECT_EQ(host.page.find("<FONT SIZE=-1>"), std::string::npos);  // shown once already
}

}  // namespace
}  // namespace web
