// Email to page, end to end with the real clients a site's devices and scripts use (swaks, msmtp, Python's
// smtplib): the charsets Chinese mail arrives in, several recipients, refusals at RCPT, a pipelined
// session, AUTH with a token, STARTTLS, and a page kept through a SIGKILL right after its 250.

#include "gateway/gateway_harness.h"
#include "support/child_process.h"
#include "support/loopback.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velkor {
namespace {

const std::string WATCHES =
    "name,address,groups\nkitchen,0.0.1.1,cooks\ncook-2,0.0.1.2,cooks\nups,0.0.0.9,\n";

// A gateway with an SMTP listener of its own port; `more` options beside.
struct MailSite {
    explicit MailSite(SimProcess& sim, std::vector<std::string> more = {}, const std::string& suffix = "")
        : folder(suffix), smtp(FreeLoopbackPort()) {
        folder.Write("watches.csv", WATCHES);
        std::vector<std::string> options = {
            "--gap", "0", "--watches", folder / "watches.csv", "--smtp", "127.0.0.1:" + std::to_string(smtp)};
        options.insert(options.end(), more.begin(), more.end());
        gateway = std::make_unique<Gateway>(folder, sim.Link(), options);
    }
    std::string Server() const { return "127.0.0.1:" + std::to_string(smtp); }
    Folder folder;
    int smtp;
    std::unique_ptr<Gateway> gateway;
};

// Python's smtplib sends `message` (bytes written as a Python literal) from `sender` to `to`; its output.
ChildProcess Smtplib(int port, const std::string& to, const std::string& message) {
    return ChildProcess({"/usr/bin/python3", "-c",
                         "import smtplib, sys\n"
                         "s = smtplib.SMTP('127.0.0.1', " +
                             std::to_string(port) +
                             ")\n"
                             "try:\n"
                             "    s.sendmail('nas@site', " +
                             to + ", " + message +
                             ")\n"
                             "except smtplib.SMTPException as e:\n"
                             "    print(e); sys.exit(1)\n"
                             "s.quit()\n"});
}

// What a raw client gets for `commands` written at once (pipelined), until the server closes or is quiet.
std::string RawSmtp(int port, const std::string& commands) {
    const int socket = ConnectLoopback(port);
    if (socket < 0) {
        return "";
    }
    std::string got;
    char buffer[4096];
    bool sent = false;
    while (true) {
        pollfd fd{socket, POLLIN, 0};
        if (poll(&fd, 1, 2000) <= 0) {
            break;
        }
        const ssize_t n = recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
        if (!sent) {
            send(socket, commands.data(), commands.size(), MSG_NOSIGNAL);
            sent = true;
        }
    }
    close(socket);
    return got;
}

TEST(Smtp, ChineseMailInItsCharsetsPagesTheRightWatches) {
    SimProcess sim;
    MailSite site(sim);
    // swaks: a GB2312 subject in an encoded word, the body ignored.
    ChildProcess swaks({"/usr/bin/swaks", "--server", site.Server(), "--to", "kitchen@pager.clinic", "--from",
                        "ups@site", "--header", "Subject: =?GB2312?B?ytC159bQts8=?=", "--body",
                        "see the log"});
    EXPECT_EQ(swaks.Wait(20s), 0) << swaks.Out();
    EXPECT_NE(swaks.Out().find("250 2.0.0 Ok: queued as page"), std::string::npos) << swaks.Out();
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["address"], "0.0.1.1");
    EXPECT_EQ(frames[0]["text"], "市电中断");

    // No subject: the first line of a quoted-printable GB2312 body (GB18030's characters too), to two.
    ChildProcess qp = Smtplib(site.smtp, "['ups@x', 'kitchen@x']",
                              "b'Subject: \\r\\nContent-Type: text/plain; charset=gb2312\\r\\n"
                              "Content-Transfer-Encoding: quoted-printable\\r\\n\\r\\n\\r\\n"
                              "=B1=B8=B7=DD=CD=EA=B3=C9\\r\\nsecond line\\r\\n'");
    EXPECT_EQ(qp.Wait(20s), 0) << qp.Out() << qp.Err();
    frames = TextFrames(sim, 2);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0]["text"], "备份完成");
    EXPECT_EQ(frames[1]["text"], "备份完成");
    const Json page = site.gateway->Get("/v1/pages/2");
    EXPECT_EQ(page["to"].size(), 2U) << "one page to all the recipients";
    EXPECT_NE(page["source"].get<std::string>().find("(from <nas@site>)"), std::string::npos);

    // Big5 in base64 and HTML only, with an attachment beside it that is not paged.
    ChildProcess big5 =
        Smtplib(site.smtp, "['cooks@x']",
                "b'Subject: =?big5?B?xLWnaQ==?=\\r\\nMIME-Version: 1.0\\r\\n"
                "Content-Type: multipart/mixed; boundary=b\\r\\n\\r\\n--b\\r\\n"
                "Content-Type: text/html; charset=utf-8\\r\\n\\r\\n"
                "<html><head><style>p{}</style></head><body><p>&nbsp;</p><p>Cam 3 &amp; 4</p>"
                "</body></html>\\r\\n--b\\r\\nContent-Type: image/jpeg\\r\\n"
                "Content-Disposition: attachment; filename=a.jpg\\r\\n\\r\\nxyz\\r\\n--b--\\r\\n'");
    EXPECT_EQ(big5.Wait(20s), 0) << big5.Out() << big5.Err();
    frames = TextFrames(sim, 2);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0]["text"], "警告") << "the subject first";
    EXPECT_NE(site.gateway->Log().find("1 attachment not paged"), std::string::npos) << site.gateway->Log();

    // msmtp, with --smtp-text body the HTML's text even though a subject is given.
    site.gateway.reset();
    MailSite body(sim, {"--smtp-text", "body"}, "-body");
    site.folder.Write("html.eml", "Subject: ignored\nContent-Type: text/html; charset=utf-8\n\n"
                                  "<div>Cam 3 &amp; 4 &#x79FB;&#21160;</div>\n");
    ChildProcess msmtp({"/bin/sh", "-c",
                        "/usr/bin/msmtp --host=127.0.0.1 --port=" + std::to_string(body.smtp) +
                            " --auth=off --tls=off --from=cam@site kitchen@x < " + site.folder / "html.eml"});
    EXPECT_EQ(msmtp.Wait(20s), 0) << msmtp.Err();
    frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "Cam 3 & 4 移动");
}

TEST(Smtp, RefusalsComeWithCodesASenderUnderstandsAndPipelinedCommandsInOrder) {
    SimProcess sim;
    MailSite site(sim, {"--smtp-max-size", "2048", "--smtp-domains", "pager.clinic"});
    const std::string answers =
        RawSmtp(site.smtp, "EHLO test\r\nMAIL FROM:<a@b>\r\nRCPT TO:<kitchen@pager.clinic>\r\n"
                           "RCPT TO:<nobody@pager.clinic>\r\nRCPT TO:<kitchen@elsewhere>\r\nDATA\r\n"
                           "Subject: pipelined\r\n\r\n.\r\nQUIT\r\n");
    std::vector<std::string> codes;
    std::size_t at = 0;
    while ((at = answers.find("\r\n", at)) != std::string::npos && at + 5 < answers.size()) {
        at += 2;
        if (answers[at + 3] == ' ') {
            codes.push_back(answers.substr(at, 9));
        }
    }
    EXPECT_EQ(codes, (std::vector<std::string>{"250 HELP\r", "250 2.1.0", "250 2.1.5", "550 5.1.1",
                                               "550 5.7.1", "354 End d", "250 2.0.0", "221 2.0.0"}))
        << answers;
    EXPECT_NE(answers.find("250-PIPELINING"), std::string::npos);
    EXPECT_NE(answers.find("250-SIZE 2048"), std::string::npos);
    EXPECT_NE(answers.find("no watch or group is named \"nobody\""), std::string::npos) << answers;
    std::vector<Json> frames = TextFrames(sim, 1);
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_EQ(frames[0]["text"], "pipelined");

    // Too large, said before and after the message; nothing to page; nothing queued.
    EXPECT_NE(RawSmtp(site.smtp, "EHLO t\r\nMAIL FROM:<a@b> SIZE=999999\r\nQUIT\r\n").find("552 5.3.4"),
              std::string::npos);
    EXPECT_NE(RawSmtp(site.smtp, "EHLO t\r\nMAIL FROM:<a@b>\r\nRCPT TO:<kitchen@pager.clinic>\r\nDATA\r\n"
                                 "Subject: big\r\n\r\n" +
                                     std::string(3000, 'x') + "\r\n.\r\nQUIT\r\n")
                  .find("552 5.3.4 Message too big"),
              std::string::npos);
    EXPECT_NE(RawSmtp(site.smtp, "EHLO t\r\nMAIL FROM:<a@b>\r\nRCPT TO:<kitchen@pager.clinic>\r\nDATA\r\n"
                                 "From: a@b\r\n\r\n\r\n.\r\nQUIT\r\n")
                  .find("554 5.6.0 Nothing to page"),
              std::string::npos);
    EXPECT_NE(RawSmtp(site.smtp, "DATA\r\nMAIL FROM:<a@b>\r\nQUIT\r\n").find("503 5.5.1 Say EHLO first"),
              std::string::npos);
    EXPECT_NE(RawSmtp(site.smtp, std::string(2000, 'A') + "\r\n").find("500 5.5.2 Line longer"),
              std::string::npos);
    EXPECT_TRUE(TextFrames(sim, 1, 1s).empty());
    // Stopping, the gateway tells a connected client 421.
    const int socket = ConnectLoopback(site.smtp);
    char greeting[256];
    ASSERT_GT(recv(socket, greeting, sizeof greeting, 0), 0);
    site.gateway->Signal(SIGTERM);
    std::string last;
    for (ssize_t n; (n = recv(socket, greeting, sizeof greeting, 0)) > 0;) {
        last.append(greeting, static_cast<std::size_t>(n));
    }
    close(socket);
    EXPECT_TRUE(last.starts_with("421 4.3.2")) << last;
}

TEST(Smtp, AKeyLogsInWithItsTokenAndStartTlsUsesTheSitesCertificate) {
    SimProcess sim;
    Folder keys("-keys");
    keys.Write("tokens", "ups up5-token send\nwall w4ll read\n");
    std::filesystem::permissions(keys / "tokens", std::filesystem::perms(0600));
    ChildProcess openssl({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                          "-subj", "/CN=localhost", "-keyout", keys / "key.pem", "-out", keys / "cert.pem"});
    ASSERT_EQ(openssl.Wait(30s), 0) << openssl.Err();
    MailSite site(sim, {"--token-file", keys / "tokens", "--smtp-cert", keys / "cert.pem", "--smtp-key",
                        keys / "key.pem"});
    const auto swaks = [&](std::vector<std::string> more) {
        std::vector<std::string> command = {"/usr/bin/swaks", "--server", site.Server(),
                                            "--to",           "ups@x",    "--from",
                                            "ups@site",       "--header", "Subject: 市电中断"};
        command.insert(command.end(), more.begin(), more.end());
        ChildProcess run(command);
        run.Wait(30s);
        return run.Out();
    };
    EXPECT_NE(swaks({}).find("530 5.7.0 Authentication required"), std::string::npos);
    EXPECT_NE(swaks({"--auth", "PLAIN", "--auth-user", "ups", "--auth-password", "wrong"}).find("535 5.7.8"),
              std::string::npos);
    EXPECT_NE(swaks({"--auth", "LOGIN", "--auth-user", "wall", "--auth-password", "w4ll"}).find("535 5.7.8"),
              std::string::npos)
        << "a key that may only read";
    std::string out =
        swaks({"--tls", "--auth", "LOGIN", "--auth-user", "ups", "--auth-password", "up5-token"});
    EXPECT_NE(out.find("220 2.0.0 Ready to start TLS"), std::string::npos) << out;
    EXPECT_NE(out.find("235 2.7.0"), std::string::npos) << out;
    EXPECT_NE(out.find("250 2.0.0 Ok: queued"), std::string::npos) << out;
    out = swaks({"--auth", "PLAIN", "--auth-user", "ups", "--auth-password", "up5-token"});
    EXPECT_NE(out.find("250 2.0.0 Ok: queued"), std::string::npos) << out;
    const std::vector<Json> frames = TextFrames(sim, 2);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[1]["text"], "市电中断");
    auto read = site.gateway->Client().Get("/v1/pages/2", {{"Authorization", "Bearer w4ll"}});
    ASSERT_TRUE(read);
    EXPECT_NE(read->body.find("\"key\":\"ups\""), std::string::npos) << read->body;
}

TEST(Smtp, ThePageIsThereAfterASigkillRightAfterItsAnswer) {
    SimProcess sim;
    MailSite site(sim);
    ChildProcess swaks({"/usr/bin/swaks", "--server", site.Server(), "--to", "kitchen@x", "--from", "a@b",
                        "--header", "Subject: 收档"});
    EXPECT_EQ(swaks.Wait(20s), 0) << swaks.Out();
    ASSERT_NE(swaks.Out().find("250 2.0.0 Ok: queued"), std::string::npos);
    EXPECT_EQ(site.gateway->Stop(SIGKILL), 128 + SIGKILL);
    TextFrames(sim, 1, 1s); // whatever went out before the kill
    Gateway again(site.folder, sim.Link(), {"--gap", "0", "--watches", site.folder / "watches.csv"});
    const Json page = again.Get("/v1/pages/1");
    EXPECT_EQ(page.value("text", ""), "收档") << page.dump();
    EXPECT_EQ(again.WaitForState(1, "sent")["state"], "sent");
}

// A full disk: 451, which the sender's server answers by trying again later; once there is room, one page.
TEST(Smtp, AFullDiskIsATemporaryFailureAndTheRetryPagesOnce) {
    Folder folder;
    SmallDisk disk(folder / "disk");
    if (!disk.Mounted()) {
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    folder.Write("watches.csv", WATCHES);
    const int port = FreeLoopbackPort();
    Gateway gateway(
        folder, folder / "no-port",
        {"--gap", "0", "--watches", folder / "watches.csv", "--smtp", "127.0.0.1:" + std::to_string(port)},
        folder / "disk/gateway.db");
    const auto send = [&] {
        ChildProcess swaks({"/usr/bin/swaks", "--server", "127.0.0.1:" + std::to_string(port), "--to",
                            "ups@x", "--from", "a@b", "--header", "Subject: 市电中断"});
        swaks.Wait(30s);
        return swaks.Out();
    };
    ASSERT_NE(send().find("250 2.0.0"), std::string::npos);
    disk.Fill();
    const std::string full = send();
    EXPECT_NE(full.find("451 4.3.0 Not queued, try again later"), std::string::npos) << full;
    disk.Free();
    EXPECT_NE(send().find("250 2.0.0"), std::string::npos) << gateway.Log();
    EXPECT_EQ(gateway.Get("/v1/pages?limit=10")["pages"].size(), 2U) << "the refused one is not queued";
}

} // namespace
} // namespace velkor
