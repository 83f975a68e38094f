"""Templates and web forms through HTTP: the web host with the real extension on the home
directory of a running quorvale. Forms are posted by curl and by headless Chromium; what they
mail is read back from the account with Python's poplib once the server has distributed it. The
template engine's edge cases run as answer pages of the form processor."""

import http.client
import os
import poplib
import shutil
import subprocess
import tempfile
import unittest

from harness import Home, wait_for
from test_smtp import free_port, listening

HOST_BIN = os.environ.get("KALDOR_HOST_BIN", "kaldor-host")
LIBRARY = os.environ.get("KALDOR_LIB", "libkaldor.so")

FORM_PAGE = """<html><body onload="document.forms[0].submit()">
<form action="/kaldor.dll?SendForm" method="POST" enctype="application/x-www-form-urlencoded">
<input type="hidden" name="_formname_" value="Order">
<input type="hidden" name="_account_" value="sales">
<input type="hidden" name="_validate_" value="1">
<input type="hidden" name="_format_" value="%s">
<input type="text" name="rt_Name" value="Ann Smith">
<input type="text" name="rn_Age" value=" 42 ">
<input type="text" name="ra_Email" value="ann@far.test">
<input type="text" name="ot_Comment" value="two words &lt;b&gt;">
<input type="text" name="oa_Other" value="">
<input type="text" name="on_Count" value="-7">
</form></body></html>
"""


def curl(*args, timeout=60):
    return subprocess.run(["curl", "-s", "-S", "--max-time", str(timeout), *args],
                          capture_output=True, timeout=timeout + 10)


class Templates(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.smtp_port, cls.pop3_port, cls.web_port = free_port(), free_port(), free_port()
        cls.home = Home(smtp_port=cls.smtp_port, pop3_port=cls.pop3_port)
        h = cls.home
        cls.www = os.path.join(h.root, "www")
        os.makedirs(cls.www)
        with open(h.path("NEXUM2.INI"), "a", newline="") as f:
            f.write("IPaddress=127.0.0.1\r\nDeliveryDelay=1\r\nPostMaster=master\r\n"
                    "[Kaldor]\r\nwebroot=files\r\nwebrootdir=%s\r\n" % cls.www)
        with open(h.path("mailbox.cfg"), "w", newline="") as f:
            f.write("master:*:0\r\nsales:*:0\r\n")
        for name, extra in (("master", ""), ("sales", "adrs=sales@example.test\r\n")):
            os.makedirs(h.path("MAILIN", name))
            with open(h.path("MAILIN", name, "MAILBOX.INI"), "w", newline="") as f:
                f.write("[SETUP]\r\nPassword=pw-%s\r\n%s" % (name, extra))
            with open(h.path("MAILIN", name, "MEMBERS.INI"), "w", newline="") as f:
                f.write("[ALIAS]\r\nn=1\r\n0=*\t%s@example.test\r\n[END_ALIAS]\r\n" % name)
        os.makedirs(h.path("kaldor"))
        cls.write(h.path("kaldor", "theaders.htm"), "<html><title>(*form_title*)</title><body>\n")
        cls.write(h.path("kaldor", "tfooters.htm"), "</body></html>\n")
        cls.server = h.start("-server")
        assert wait_for(lambda: listening(cls.pop3_port) and listening(cls.smtp_port), 30)
        cls.host_log = open(os.path.join(h.root, "host.log"), "w")
        env = {k: v for k, v in h.env().items() if k not in ("TMP", "TEMP")}
        cls.host = subprocess.Popen([HOST_BIN, "--port", str(cls.web_port), "--extension", LIBRARY],
                                    env=env, stdout=cls.host_log, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)
        assert wait_for(lambda: listening(cls.web_port), 30), "the web host did not start"

    @classmethod
    def tearDownClass(cls):
        cls.host.terminate()
        cls.host.wait(timeout=30)
        cls.host_log.close()
        cls.server.terminate()
        cls.server.wait(timeout=30)
        cls.home.close()

    @staticmethod
    def write(path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", newline="") as f:
            f.write(text)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.web_port, path)

    def account(self, *names):
        return self.home.path("MAILIN", "sales", *names)

    def pop_all(self):
        """Every message of the account `sales`, deleted after reading."""
        p = poplib.POP3("127.0.0.1", self.pop3_port, timeout=30)
        try:
            p.user("sales")
            p.pass_("pw-sales")
            out = []
            for i in range(len(p.list()[1])):
                out.append(b"\r\n".join(p.retr(i + 1)[1]).decode("latin-1"))
                p.dele(i + 1)
            return out
        finally:
            p.quit()

    def wait_mail(self, count=1):
        got = []

        def more():
            got.extend(self.pop_all())
            return len(got) >= count
        self.assertTrue(wait_for(more, timeout=60, step=0.5), "no mail arrived")
        return got

    def process(self, *fields):
        args = []
        for name, value in fields:
            args += ["--form-string", "%s=%s" % (name, value)]
        result = curl(*args, self.url("/kaldor.dll?ProcessForm"))
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout.decode("latin-1")

    def answer(self, template, *fields):
        """Runs `template` as the answer page of the form processor, with `fields`."""
        self.write(self.account("t.htm"), template)
        return self.process(("_account_", "sales"), ("_answer_", "t.htm"), *fields)

    # Form submission ----------------------------------------------------------------------

    def chromium(self, url):
        profile = tempfile.mkdtemp(prefix="qvchrome.")
        try:
            return subprocess.run(
                ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--user-data-dir=" + profile, "--virtual-time-budget=10000", "--dump-dom", url],
                capture_output=True, timeout=120, env=dict(os.environ, HOME=profile))
        finally:
            shutil.rmtree(profile, ignore_errors=True)

    def test_chromium_posts_a_form_that_is_mailed_and_read_with_poplib(self):
        self.pop_all()
        self.write(os.path.join(self.www, "form.htm"), FORM_PAGE % "0")
        dom = self.chromium(self.url("/files/form.htm"))
        page = dom.stdout.decode("latin-1")
        self.assertIn("The following data have been sent to", page, dom.stderr[-2000:])
        self.assertIn("rn_Age=42", page)  # the number without its blanks
        self.assertIn("two words &lt;b&gt;", page)
        mail = self.wait_mail()[0]
        self.assertIn("Subject: Web form filled: Order", mail)
        self.assertIn("To: sales@example.test", mail)
        for line in ("rt_Name=3DAnn Smith", "rn_Age=3D42", "ra_Email=3Dann@far.test",
                     "ot_Comment=3Dtwo words <b>", "oa_Other=3D", "on_Count=3D-7"):
            self.assertIn(line, mail)

    def test_ini_and_csv_formats(self):
        self.pop_all()
        self.write(os.path.join(self.www, "ini.htm"), FORM_PAGE % "INI")
        page = self.chromium(self.url("/files/ini.htm")).stdout.decode("latin-1")
        self.assertIn("[DATA]", page)
        mail = self.wait_mail()[0]
        self.assertIn("[DATA]", mail)
        self.assertIn("rt_Name=3DAnn Smith", mail)
        result = curl("-d", "_formname_=C&_account_=sales&_format_=csv&a=1",
                      self.url("/kaldor.dll?SendForm"))
        self.assertIn(b"The following data have been sent to", result.stdout)
        mail = self.wait_mail()[0]
        self.assertIn("Subject: Web form filled: C", mail)
        self.assertNotIn("a=3D1", mail)  # CSV writes no field data

    def test_a_form_of_a_hundred_thousand_fields_is_answered_at_once(self):
        # A body within the 1 MB limit can hold 120000 fields; each name was once looked for
        # among all the others, which kept a core busy for minutes per request.
        self.pop_all()
        fields = "&".join("%05x=" % i for i in range(120000))
        body = ("_formname_=Big&_account_=sales&_format_=csv&" + fields).encode()
        self.assertLess(len(body), 1024 * 1024)
        for command, status, text in (("SendForm", 200, b"The following data have been sent to"),
                                      ("Mailbox", 501, b"NOT IMPLEMENTED")):
            conn = http.client.HTTPConnection("127.0.0.1", self.web_port, timeout=120)
            try:
                conn.request("POST", "/kaldor.dll?" + command, body=body,
                             headers={"Content-Type": "application/x-www-form-urlencoded"})
                resp = conn.getresponse()
                self.assertEqual(resp.status, status, command)
                self.assertIn(text, resp.read())
            finally:
                conn.close()
        self.assertIn("Subject: Web form filled: Big", self.wait_mail()[0])

    def test_form_submission_errors(self):
        result = curl(self.url("/kaldor.dll?ShowForm&x=1"))
        self.assertIn(b"[_formname_] variable missing.<BR>[_account_] variable missing.<BR>",
                      result.stdout)
        self.assertIn(b"<title>Form submission</title>", result.stdout)
        result = curl("-d", "_formname_=F&_account_=sales&_validate_=1&rn_Age=4x&ra_M=a%40b+c&"
                      "rt_Name=+", self.url("/kaldor.dll?SendForm"))
        text = result.stdout.decode()
        self.assertIn("The field [<B>Age</B>] must be a valid <B>number</B>.<BR>", text)
        self.assertIn("(error in @domain)", text)
        self.assertIn("The field [<B>Name</B>] cannot be empty.<BR>", text)
        result = curl(self.url("/kaldor.dll?ShowForm&_formname_=F&_account_=nobody"))
        self.assertIn(b"Sorry! Account [nobody] does not exist.<BR>", result.stdout)

    def test_answer_page_of_a_form_and_its_path_rules(self):
        self.pop_all()
        self.write(self.account("thanks.htm"), "Thanks (*rt_Name*)!\n")
        result = curl(self.url("/kaldor.dll?ShowForm&_formname_=F&_account_=sales&"
                               "rt_Name=%3Ci%3EBo&_answer_=thanks.htm"))
        self.assertTrue(result.stdout.startswith(b"Thanks &lt;i&gt;Bo!\n"), result.stdout)
        self.assertIn(b"<FONT SIZE=-1>Copyright", result.stdout)
        self.wait_mail()
        # ".." is refused: the standard answer comes instead of the file.
        result = curl(self.url("/kaldor.dll?ShowForm&_formname_=F&_account_=sales&"
                               "_answer_=..%5Cmaster%5CMAILBOX.INI"))
        self.assertIn(b"The following data have been sent to", result.stdout)
        self.assertNotIn(b"Password", result.stdout)
        self.wait_mail()

    # Form processor -----------------------------------------------------------------------

    def test_processor_writes_a_page_and_answers(self):
        self.write(self.account("gen.tpl"), "<P>(*who*) wrote: (*note*)</P>\n")
        self.write(self.account("ok.htm"), "made <!--ISW INCLUDE FILE=out.htm -->\n")
        marker = os.path.join(self.home.root, "pwned")
        note = ('<!--ISW SYSTEM CMD="touch %s" WAIT --><!--ISW DUMP FILE=MAILBOX.INI -->'
                '(*_account_*)' % marker)
        page = self.process(("_account_", "sales"), ("who", "Ann"), ("note", note),
                            ("_outtemp_", "gen.tpl"), ("_outpage_", "out.htm"),
                            ("_answer_", "ok.htm"))
        with open(self.account("out.htm")) as f:
            out = f.read()
        self.assertTrue(out.startswith("<P>Ann wrote: &lt;!--ISW SYSTEM"), out)
        self.assertIn("(&#42;_account_*)", out)
        self.assertIn("made <P>Ann wrote: &lt;!--ISW", page)
        self.assertNotIn("Password", page)
        self.assertFalse(os.path.exists(marker))
        self.assertIn("<FONT SIZE=-1>Copyright", page)

    def test_processor_takes_an_upload_field_by_its_name_and_keeps_no_file(self):
        self.write(self.account("up.htm"), "got [(*f*)] [(*t*)]\n")
        work = tempfile.mkdtemp(prefix="qvup.")
        try:
            upload = os.path.join(work, "report <1>.txt")
            with open(upload, "wb") as f:
                f.write(b"data" * 1000)
            result = curl("-F", "_account_=sales", "-F", "_answer_=up.htm", "-F", "t=text",
                          "-F", "f=@%s" % upload, self.url("/kaldor.dll?ProcessForm"))
        finally:
            shutil.rmtree(work, ignore_errors=True)
        self.assertTrue(result.stdout.startswith(b"got [report &lt;1&gt;.txt] [text]\n"),
                        result.stdout)
        tmp = self.home.path("TMP")
        self.assertEqual([n for n in os.listdir(tmp) if n.upper().startswith("F")]
                         if os.path.isdir(tmp) else [], [])

    def test_processor_keeps_no_upload_of_a_field_sent_more_than_once(self):
        # The last part of a name is the field; the files of the earlier ones stayed in TMP for
        # good, a disk filled by anyone repeating a file field.
        self.write(self.account("up.htm"), "got [(*f*)]\n")
        work = tempfile.mkdtemp(prefix="qvup.")
        try:
            args = []
            for i in range(3):
                path = os.path.join(work, "part%d.bin" % i)
                with open(path, "wb") as f:
                    f.write(b"data" * 1000)
                args += ["-F", "f=@%s" % path]
            result = curl("-F", "_account_=sales", "-F", "_answer_=up.htm", *args,
                          self.url("/kaldor.dll?ProcessForm"))
        finally:
            shutil.rmtree(work, ignore_errors=True)
        self.assertTrue(result.stdout.startswith(b"got [part2.bin]\n"), result.stdout)
        tmp = self.home.path("TMP")
        self.assertEqual([n for n in os.listdir(tmp) if n.upper().startswith("F")]
                         if os.path.isdir(tmp) else [], [])

    def test_processor_text_with_nul_bytes_names_no_file_to_remove(self):
        # A file field's value is "<upload path>\0<name>\0"; a text field holding the same bytes
        # made the processor remove the file it named, anywhere the host could write.
        victim = os.path.join(self.home.root, "victim.txt")
        self.write(victim, "keep")
        self.write(self.account("nul.htm"), "got [(*t*)]\n")
        boundary = "qvB0undary"
        body = b"".join(b"--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n"
                        % (boundary.encode(), name, value)
                        for name, value in ((b"_account_", b"sales"), (b"_answer_", b"nul.htm"),
                                            (b"t", victim.encode() + b"\0x\0")))
        body += b"--%s--\r\n" % boundary.encode()
        conn = http.client.HTTPConnection("127.0.0.1", self.web_port, timeout=60)
        try:
            conn.request("POST", "/kaldor.dll?ProcessForm", body=body, headers={
                "Content-Type": "multipart/form-data; boundary=" + boundary})
            resp = conn.getresponse()
            page = resp.read()
        finally:
            conn.close()
        self.assertEqual(resp.status, 200)
        self.assertTrue(page.startswith(b"got ["), page)
        with open(victim) as f:
            self.assertEqual(f.read(), "keep")

    def test_processor_without_answer_and_its_errors(self):
        page = self.process(("_account_", "sales"), ("x", "<b>"))
        self.assertIn("<B>_answer_</B>=&gt; No filename. Format: [\\][path\\]filename.ext", page)
        self.assertIn("x=&lt;b&gt;", page)
        self.assertIn("[_account_] variable missing.<BR>", self.process(("x", "1")))
        self.assertIn("[ghost] does not exists.<BR>", self.process(("_account_", "ghost")))
        self.assertIn("must be a valid <B>number</B>",
                      self.process(("_account_", "sales"), ("_validate_", "1"), ("rn_N", "4x")))
        page = self.process(("_account_", "sales"), ("_answer_", "/../../etc/passwd"))
        self.assertNotIn("root:", page)
        # The account's own settings file holds its password: no form may show or write it.
        with open(self.account("MAILBOX.INI"), "rb") as f:
            before = f.read()
        page = self.process(("_account_", "sales"), ("_answer_", "MAILBOX.INI"))
        self.assertNotIn("pwd", page)
        self.assertNotIn("Password", page)
        self.write(self.account("pw.tpl"), "[SETUP]\r\npwd=(*p*)\r\n")
        self.process(("_account_", "sales"), ("p", "evil"), ("_outtemp_", "pw.tpl"),
                     ("_outpage_", "mailbox.ini"), ("_answer_", "pw.tpl"))
        with open(self.account("MAILBOX.INI"), "rb") as f:
            self.assertEqual(f.read(), before)

    # The engine's edge cases, as answer pages ---------------------------------------------

    def test_references_and_conditions(self):
        page = self.answer("[(*a.b*)][(*nope*)][(*x*)]\n"
                           "<!--ISW READ IF=(*x*) EQ=1 -->Hello\n"
                           "<!--ISW READ IF=(*e*) -->Empty\n"
                           "<!--ISW READ IF=b LT=b -->lt\n<!--ISW READ IF=b GT=b -->gt\n",
                           ("x", "1"), ("e", ""), ("a.b", "never"))
        self.assertTrue(page.startswith("[(*a.b*)][(*nope*)][1]\nHello\nlt\ngt\n"), page)
        page = self.answer("<!--ISW READ IF=(*x*) EQ=1 -->Hello\n", ("x", "2"))
        self.assertNotIn("Hello", page)

    def test_set_and_repeat(self):
        page = self.answer("<!--ISW SET _acc=evil -->(*_acc*)\n"
                           "<!--ISW REPEAT FROM=1 TO=3 FMT=\"[(*_n*)]\" -->\n"
                           "<!--ISW REPEAT FROM=3 TO=1 FMT=\"none\" -->.\n"
                           "<!--ISW REPEAT FROM=1 TO=9 INC=0 FMT=\"z\" -->\n"
                           "<!--ISW REPEAT FROM=1 TO=9 INC=-1 FMT=\"down\" -->.\n",
                           ("_acc", "sales"))
        self.assertIn('<BR>Variable starting with "_" cannot be SET<BR>sales\n', page)
        self.assertIn("[1][2][3]\n.\nz\n.\n", page)

    def test_self_inclusion_stops_with_a_message(self):
        self.write(self.account("loop.htm"), "x<!--ISW INCLUDE FILE=loop.htm -->\n")
        page = self.answer("<!--ISW INCLUDE FILE=loop.htm -->\n")
        self.assertIn("Templates nested too deep [loop.htm]", page)
        self.assertEqual(page.count("x"), 16)  # the answer is level 0; loop.htm 1 to 16

    def test_ini_load_and_link_menu(self):
        self.write(self.account("d.ini"), "[S]\r\na=1\r\nb=2\r\n")
        page = self.answer("<!--ISW INI-LOAD FILE=d.ini SECTION=S KEYS=* -->[(*a*)]\n"
                           "<!--ISW INI-LOAD FILE=d.ini SECTION=S KEYS=all -->[(*a*)(*b*)]\n")
        self.assertTrue(page.startswith("[(*a*)]\n[12]\n"), page)
        self.write(self.account("menu.htm"),
                   '<!--ISW MENU NAME="m" -->\r\n<BR><A HREF="old.htm">Same</A>. old\r\n'
                   '<!--ISW MENU NAME="m" -->\r\n')
        self.answer('<!--ISW LINK MENU=m PAGE=menu.htm URL=new.htm TXT=Same REM=new -->\n')
        with open(self.account("menu.htm"), newline="") as f:
            menu = f.read()
        self.assertEqual(menu, '<!--ISW MENU NAME="m" -->\r\n<BR><A HREF="new.htm">Same</A>. '
                               'new\r\n<!--ISW MENU NAME="m" -->\r\n')
        self.assertTrue(os.path.exists(self.account("menu.bak")))


if __name__ == "__main__":
    unittest.main()
