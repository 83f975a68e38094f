// Directives that reach outside the page: sessions and logins, mail, INI files, programs, menus.
#include <gtest/gtest.h>

#include <thread>

#include "platform/profile.h"
#include "platform/system.h"
#include "store/account.h"
#include "store/envelope.h"
#include "store/queue_item.h"
#include "store/store_paths.h"
#include "web/template/link_menu.h"
#include "web/template/outgoing_mail.h"
#include "web/template/session_id.h"
#include "web/template/tests/fake_host.h"

namespace web {
namespace {

using web_test::CFakeHost;
using web_test::Render;

class Directives : public ::testing::Test {
 protected:
  CFakeHost host;
  CTemplateRequest req{&host};
  std::string Run(const std::string& text) { return Render(host, req, text); }
  void MakeAccount(const std::string& name, const std::string& password) {
    host.Account(name, "[SETUP]\r\npwd=" + store::ScramblePassword(password) + "\r\n");
  }
};

TEST_F(Directives, SessionWritesHiddenFieldsAndSetsJid) {
  host.now = 5000;
  std::string page = Run("<!--ISW SESSION UNAME=bob PWORD=pw MAILBOX=bob -->\n");
  std::string jid = req.vars.Get("_jid");
  ASSERT_FALSE(jid.empty());
  EXPECT_EQ(page, "<INPUT NAME=\"_jid\" TYPE=\"hidden\" VALUE=\"" + jid +
                      "\"><INPUT NAME=\"_acc\" TYPE=\"hidden\" VALUE=\"bob\">\n");
  SessionData s;
  ASSERT_EQ(DecodeSessionId(jid, 300, 5000, &s), kSessionValid);
  EXPECT_EQ(s.user, "bob");
  req.vars.Remove("_jid");
  EXPECT_EQ(Run("<!--ISW SESSION SEND=0 UNAME=bob -->.\n"), ".\n");
  EXPECT_FALSE(req.vars.Has("_jid"));
}

TEST_F(Directives, CheckLogin) {
  MakeAccount("bob", "secret");
  EXPECT_EQ(Run("<!--ISW CHECK LOGIN UNAME=bob PWORD=secret -->ok\n"), "ok\n");
  EXPECT_EQ(Run("<!--ISW CHECK LOGIN UNAME=bob PWORD=wrong -->ok\nnever\n"),
            "<BR>Invalid login. Please retry<BR>");
  req.stopped = false;
  EXPECT_EQ(Run("<!--ISW CHECK LOGIN UNAME=../bob PWORD=secret ERRMSG=no -->ok\n"), "no");
  req.stopped = false;
  EXPECT_EQ(Run("<!--ISW CHECK LOGIN UNAME=nobody PWORD= -->ok\n"),
            "<BR>Invalid login. Please retry<BR>");
}

TEST_F(Directives, CheckSessionStopsTheIncludingTemplateToo) {
  MakeAccount("bob", "secret");
  host.now = 10000;
  host.settings.admDelay = 60;
  std::string jid;
  ASSERT_EQ(MakeSessionId("bob", "secret", 1, 10000, &jid), 0);
  req.vars.SetRequest("_jid", jid);
  EXPECT_EQ(Run("<!--ISW CHECK SESSION VUNAME=u VPWORD=p -->(*u*)\n"), "bob\n");
  EXPECT_EQ(req.vars.Find("u")->origin, Origin::kRequest);
  host.now = 10061;  // expired
  host.Write("www/guard.htm", "<!--ISW CHECK SESSION -->\n");
  EXPECT_EQ(Run("a<!--ISW INCLUDE FILE=guard.htm -->b\nc\n"),
            "a<BR>Session cannot be validated. Please retry<BR>");
  req.stopped = false;
  host.now = 10000;
  ASSERT_EQ(MakeSessionId("bob", "old", 1, 10000, &jid), 0);
  req.vars.SetRequest("_jid", jid);
  EXPECT_EQ(Run("<!--ISW CHECK SESSION ERRMSG=x -->ok\n"), "<BR>Invalid login. Please retry<BR>");
}

TEST_F(Directives, SendMailQueuesAMessageWithOneLineHeaders) {
  host.realMail = true;
  host.Write("www/body.txt", "from file\n");
  req.vars.SetRequest("subj", "Hi\r\nBcc: victim@evil.test");
  std::string page =
      Run("<!--ISW SENDMAIL TO=\"Ann <ann@example.test>; bob@example.test\" FROM=me@example.test "
          "SUBJECT=(*subj*) BODYTEXT=\"first line\" BODYFILE=body.txt -->sent\n");
  EXPECT_EQ(page, "sent\n");
  std::vector<std::string> items =
      store::ListCompleteItems(store::InqueueDir(host.dir.path()), store::ItemKind::kInbound);
  ASSERT_EQ(items.size(), 1u);
  std::string msg = testing_support::Read(store::InqueueDir(host.dir.path()) + "/" + items[0]);
  EXPECT_NE(msg.find("Subject: Hi  Bcc: victim@evil.test\r\n"), std::string::npos) << msg;
  EXPECT_EQ(msg.find("\r\nBcc:"), std::string::npos);
  EXPECT_NE(msg.find("To: ann@example.test,\r\n    bob@example.test\r\n"), std::string::npos);
  EXPECT_NE(msg.find("first line\r\nfrom file\r\n"), std::string::npos);
  store::EnvelopeFields env;
  ASSERT_EQ(store::ReadEnvelope(
                store::ItemSibling(store::InqueueDir(host.dir.path()) + "/" + items[0], 'R'), &env),
            0);
  ASSERT_EQ(env.to.size(), 2u);
  EXPECT_EQ(env.to[1], "bob@example.test");
  EXPECT_EQ(env.from, "me@example.test");
  EXPECT_EQ(env.replyTo, "me@example.test");
  EXPECT_EQ(Run("<!--ISW SENDMAIL FROM=me@example.test -->\n"),
            "You must specify recipent's address(es)<BR>\n");
}

TEST_F(Directives, SendMailAttachesAFile) {
  host.realMail = true;
  host.Write("www/pic.gif", std::string("GIF89a\0\1\2", 9));
  Run("<!--ISW SENDMAIL TO=a@example.test ATTACH=pic.gif BODYTEXT=see -->\n");
  std::vector<std::string> items =
      store::ListCompleteItems(store::InqueueDir(host.dir.path()), store::ItemKind::kInbound);
  ASSERT_EQ(items.size(), 1u);
  std::string msg = testing_support::Read(store::InqueueDir(host.dir.path()) + "/" + items[0]);
  EXPECT_NE(msg.find("Content-type: multipart/mixed; boundary=\""), std::string::npos);
  EXPECT_NE(msg.find("Content-Type:image/gif; name=pic.gif\r\n\r\nR0lGODlhAAEC\r\n"),
            std::string::npos)
      << msg;
}

TEST(BareAddress, FormsOfAnAddress) {
  EXPECT_EQ(BareAddress("  \"Ann, A.\" <ann@x.test>"), "ann@x.test");
  EXPECT_EQ(BareAddress("name bob@x.test other"), "bob@x.test");
  EXPECT_EQ(BareAddress("just words"), "words");
  EXPECT_EQ(BareAddress(std::string(200, 'a')).size(), kMaxBareAddress);
  std::vector<std::string> list = SplitAddressList("a@x.test; <b@x.test>, \"C, D\" <c@x.test>;;");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[2], "c@x.test");
}

TEST_F(Directives, IniLoadAndSave) {
  std::string ini = host.Write("www/data.ini", "[S]\r\na=1\r\nb=two\x80\x80lines\r\n");
  EXPECT_EQ(Run("<!--ISW INI-LOAD FILE=data.ini SECTION=S KEYS=* -->(*a*)\n"), "(*a*)\n");
  EXPECT_EQ(Run("<!--ISW INI-LOAD FILE=data.ini SECTION=S KEYS=all -->(*a*)\n"), "1\n");
  EXPECT_EQ(req.vars.Get("b"), "two\r\nlines");
  EXPECT_EQ(Run("<!--ISW INI-LOAD FILE=data.ini SECTION=S KEYS=* c=dflt a=0 -->(*c*)(*a*)\n"),
            "dflt1\n");
  EXPECT_EQ(Run("<!--ISW INI-LOAD FILE=data.ini SECTION=* KEYS=all -->.\n"), ".\n");

  req.vars.Set("a", "new");
  req.vars.Remove("b");
  Run("<!--ISW INI-SAVE FILE=data.ini SECTION=S KEYS=update extra=\"x\" -->\n");
  EXPECT_EQ(platform::GetProfileString(ini, "S", "a", ""), "new");
  EXPECT_EQ(platform::GetProfileString(ini, "S", "b", "gone"), "gone");  // no variable: removed
  EXPECT_EQ(platform::GetProfileString(ini, "S", "extra", ""), "x");

  req.vars.Clear();
  req.vars.Set("p", "multi\nline");
  req.vars.Set("_hidden", "no");
  Run("<!--ISW INI-SAVE FILE=new.ini SECTION=T KEYS=CREATE -->\n");
  std::string created = host.dir / "www/new.ini";
  EXPECT_EQ(platform::GetProfileString(created, "T", "p", ""), "multi\x82line");
  EXPECT_EQ(platform::GetProfileString(created, "T", "_hidden", "absent"), "absent");
  // An attribute without a value takes the variable of its name.
  Run("<!--ISW INI-SAVE FILE=new.ini SECTION=U KEYS=* p= -->\n");
  EXPECT_EQ(platform::GetProfileString(created, "U", "p", ""), "multi\x82line");
}

TEST_F(Directives, IniSaveFromTwoThreadsLosesNoKey) {
  std::string ini = host.dir / "www/race.ini";
  host.Write("www/w.htm", "<!--ISW INI-SAVE FILE=race.ini SECTION=(*k*) KEYS=* v=1 -->\n");
  auto worker = [&](int id) {
    CFakeHost local;
    local.settings = host.settings;
    CTemplateRequest r(&local);
    for (int i = 0; i < 20; ++i) {
      r.vars.Set("k", "k" + std::to_string(id) + "_" + std::to_string(i));
      ASSERT_EQ(RunTemplate(r, host.dir / "www/w.htm"), 0);
    }
  };
  std::thread a(worker, 1), b(worker, 2);
  a.join();
  b.join();
  platform::CIniDocument doc;
  ASSERT_EQ(platform::LoadProfile(ini, &doc), 0);
  EXPECT_EQ(doc.SectionNames().size(), 40u);
}

TEST_F(Directives, MergeFromTwoThreadsAppendsEveryRun) {
  host.Write("www/line.htm", "(*k*)\n");
  host.Write("www/app.htm", "<!--ISW MERGE TEMPLATE=line.htm WRITE=log.txt APPEND -->\n");
  auto worker = [&](int id) {
    CFakeHost local;
    local.settings = host.settings;
    CTemplateRequest r(&local);
    for (int i = 0; i < 20; ++i) {
      r.vars.Set("k", std::to_string(id));
      ASSERT_EQ(RunTemplate(r, host.dir / "www/app.htm"), 0);
    }
  };
  std::thread a(worker, 1), b(worker, 2);
  a.join();
  b.join();
  std::string log = testing_support::Read(host.dir / "www/log.txt");
  EXPECT_EQ(std::count(log.begin(), log.end(), '1'), 20);
  EXPECT_EQ(std::count(log.begin(), log.end(), '2'), 20);
}

TEST_F(Directives, LinkFromTwoThreadsKeepsEveryEntry) {
  std::string page = host.Write(
      "www/menu2.htm", "<!--ISW MENU NAME=\"m\" SORT=L -->\n<!--ISW MENU NAME=\"m\" -->\n");
  host.Write("www/add.htm", "<!--ISW LINK MENU=m PAGE=menu2.htm URL=(*u*) TXT=(*u*) -->\n");
  auto worker = [&](int id) {
    CFakeHost local;
    local.settings = host.settings;
    CTemplateRequest r(&local);
    for (int i = 0; i < 15; ++i) {
      r.vars.Set("u", "e" + std::to_string(id) + "_" + std::to_string(i));
      ASSERT_EQ(RunTemplate(r, host.dir / "www/add.htm"), 0);
    }
  };
  std::thread a(worker, 1), b(worker, 2);
  a.join();
  b.join();
  std::string text = testing_support::Read(page);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 32) << text;
}

TEST_F(Directives, SystemWithProgramText) {
  Run("<!--ISW SYSTEM CMD=\"echo hi > out.txt\" WAIT -->\n");
  ASSERT_EQ(host.programs.size(), 1u);
  EXPECT_TRUE(host.programs[0].useShell);
  EXPECT_TRUE(host.programs[0].wait);
  EXPECT_EQ(host.programs[0].commandLine, "echo hi > out.txt");
}

TEST_F(Directives, SystemRunsForReal) {
  host.realPrograms = true;
  std::string marker = host.dir / "ran.txt";
  Run("<!--ISW SYSTEM CMD=\"echo ran > " + marker + "\" WAIT -->\n");
  EXPECT_EQ(testing_support::Read(marker), "ran\n");
  // Without WAIT the program runs on its own; poll for its result.
  std::string second = host.dir / "second.txt";
  Run("<!--ISW SYSTEM CMD=\"touch " + second + "\" -->\n");
  for (int i = 0; i < 500 && !platform::FileExists(second); ++i) platform::SleepMilliseconds(20);
  EXPECT_TRUE(platform::FileExists(second));
}

TEST_F(Directives, LinkAddsSortsReplacesAndRemoves) {
  std::string page =
      host.Write("www/menu.htm",
                 "head\r\n<!--ISW MENU NAME=\"m\" -->\r\n<BR><A HREF=\"b.htm\">Bravo</A>. old\r\n"
                 "<!--ISW MENU NAME=\"m\" -->\r\ntail\r\n");
  Run("<!--ISW LINK MENU=m PAGE=menu.htm URL=a.htm TXT=Alpha REM=first -->\n");
  Run("<!--ISW LINK MENU=m PAGE=menu.htm URL=c.htm TXT=Charlie REM=third -->\n");
  Run("<!--ISW LINK MENU=m PAGE=menu.htm URL=b2.htm TXT=Bravo REM=new -->\n");
  EXPECT_EQ(testing_support::Read(page),
            "head\r\n<!--ISW MENU NAME=\"m\" -->\r\n"
            "<BR><A HREF=\"a.htm\">Alpha</A>. first\r\n"
            "<BR><A HREF=\"b2.htm\">Bravo</A>. new\r\n"
            "<BR><A HREF=\"c.htm\">Charlie</A>. third\r\n"
            "<!--ISW MENU NAME=\"m\" -->\r\ntail\r\n");
  EXPECT_TRUE(platform::FileExists(host.dir / "www/menu.bak"));
  EXPECT_FALSE(platform::FileExists(host.dir / "www/menu.tmp"));
  Run("<!--ISW LINK MENU=m PAGE=menu.htm URL=b2.htm DEL -->\n");
  EXPECT_EQ(testing_support::Read(page).find("b2.htm"), std::string::npos);
  EXPECT_NE(testing_support::Read(page).find("c.htm"), std::string::npos);
  EXPECT_EQ(Run("<!--ISW LINK MENU=none PAGE=menu.htm URL=x TXT=y -->\n"),
            "<BR>Menu [none] not found in [" + page + "]<BR>\n");
}

TEST(LinkMenu, OrdersAndStyles) {
  auto expand = [](const std::string& fmt) {
    std::string s = fmt;
    auto put = [&](const std::string& ref, const std::string& v) {
      for (size_t p; (p = s.find(ref)) != std::string::npos;) s.replace(p, ref.size(), v);
    };
    put("(*_url*)", "u.htm");
    put("(*_txt*)", "M");
    put("(*_rem*)", "r");
    return s;
  };
  const std::string entries =
      "<LI><A HREF=\"z.htm\">Z</A>\n<LI><A HREF=\"k.htm\">K</A>\n<LI><A HREF=\"a.htm\">A</A>\n";
  auto page = [&](const std::string& attrs) {
    return "<!--ISW MENU NAME=\"x\" " + attrs + " -->\n" + entries + "<!--ISW MENU NAME=\"x\"\n";
  };
  LinkChange change;
  change.menu = "x";
  std::string out;
  ASSERT_EQ(RewriteLinkMenu(page("SORT=D STY=li"), change, expand, &out), 0);
  // Descending: before the first smaller key.
  EXPECT_NE(out.find("Z</A>\n<LI><A HREF=\"u.htm\">M</A>. r\n<LI><A HREF=\"k.htm\""),
            std::string::npos)
      << out;
  ASSERT_EQ(RewriteLinkMenu(page("SORT=first STY=LI"), change, expand, &out), 0);
  EXPECT_NE(out.find("-->\n<LI><A HREF=\"u.htm\">M</A>. r\n<LI><A HREF=\"z.htm\""),
            std::string::npos);
  ASSERT_EQ(RewriteLinkMenu(page("SORT=L STY=TR"), change, expand, &out), 0);
  EXPECT_NE(out.find("A</A>\n<TR VALIGN=top><TD><A HREF=\"u.htm\">M</A></TD><TD>r</TD></TR>\n"
                     "<!--ISW MENU NAME=\"x\"\n"),
            std::string::npos);
  ASSERT_EQ(RewriteLinkMenu(page("SORT=A BY=U FMT=\"<A HREF=(*_url*)>(*_txt*)</A>\""), change,
                            expand, &out),
            0);
  EXPECT_NE(out.find("-->\n<A HREF=u.htm>M</A>\n<LI><A HREF=\"z.htm\""), std::string::npos) << out;
  EXPECT_EQ(RewriteLinkMenu("no menu\n", change, expand, &out), -1);
  EXPECT_EQ(MenuEntryKey("<A HREF=\"" + std::string(80, 'h') + "\">t</A>", false).size(),
            kMaxMenuKey);
}

}  // namespace
}  // namespace web
