#include "platform/windows/TerminalWindowSystem.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/windows/TerminalReach.h"
#include "tests/TempFolder.h"
#include "tests/prompts/FormTestSupport.h"
#include "util/RuntimeError.h"

namespace postwarden::testing {
namespace {

std::string WithoutEscapes(const std::string& text) {
    static const std::regex escape("\x1b\\[[0-9;?]*[A-Za-z]");
    return std::regex_replace(text, escape, "");
}

// Waits (five seconds at most) until `done()`, such as a process sleeping in a
// wait for its child; whether it is.
template <typename Done>
bool WaitUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// A pseudo-terminal of 80 x 24 standing in for the person's terminal.
class Pty {
  public:
    Pty() {
        winsize size{24, 80, 0, 0};  // rows, columns, pixels
        char name[256] = "";
        int master = -1, slave = -1;
        if (openpty(&master, &slave, name, nullptr, &size) != 0) ADD_FAILURE() << "no pty";
        master_.Reset(master);
        slave_.Reset(slave);
        path_ = name;
    }
    const std::string& path() const { return path_; }
    int slave() const { return slave_.Get(); }
    void CloseMaster() { master_.Reset(); }
    void Type(const std::string& keys) {
        ASSERT_EQ(::write(master_.Get(), keys.data(), keys.size()),
                  static_cast<ssize_t>(keys.size()));
    }
    // Reads until a screen drawn after the one the last wait returned contains
    // `text`; that screen without escape sequences, or empty after five seconds.
    std::string WaitFor(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        do {
            const size_t start = all_.rfind("\x1b[2J");
            if (start != std::string::npos && start >= from_) {
                const std::string screen = WithoutEscapes(all_.substr(start));
                if (screen.find(text) != std::string::npos) {
                    from_ = start + 1;
                    return screen;
                }
            }
            Read(50);
        } while (std::chrono::steady_clock::now() < deadline);
        ADD_FAILURE() << "never drawn: " << text << "\nlast output:\n"
                      << WithoutEscapes(all_.substr(from_));
        return "";
    }
    // Everything read so far, escapes included.
    const std::string& Output() const { return all_; }
    // Makes the next wait look only at what is drawn from now on.
    void Skip() {
        while (Read(0)) {
        }
        from_ = all_.size();
    }

  private:
    bool Read(int milliseconds) {
        pollfd poll{master_.Get(), POLLIN, 0};
        char buffer[4096];
        if (::poll(&poll, 1, milliseconds) != 1) return false;
        const ssize_t got = ::read(master_.Get(), buffer, sizeof buffer);
        if (got > 0) all_.append(buffer, static_cast<size_t>(got));
        return got > 0;
    }
    UniqueFd master_, slave_;
    std::string path_, all_;
    size_t from_ = 0;
};

class TerminalFormsTest : public ::testing::Test {
  protected:
    TerminalFormsTest() { platform.windows = std::make_unique<TerminalWindowSystem>(pty.path()); }
    ~TerminalFormsTest() override {
        if (asker.joinable()) asker.join();
    }
    // Runs `ask` on a thread of its own, as the module runs on the host's thread
    // while the person types.
    template <typename Ask>
    void Start(Ask ask) {
        asker = std::thread([this, ask] {
            result = ask();
            ThreadObjects::ReleaseFor(platform);
        });
    }
    // The answer, once the window has written all it will write.
    int32_t Finish() {
        asker.join();
        pty.Skip();
        return result;
    }
    termios Modes() {
        termios now{};
        EXPECT_EQ(tcgetattr(pty.slave(), &now), 0);
        return now;
    }
    void ExpectModes(const termios& expected) {
        const auto modes = [](const termios& t) {
            return std::tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_line,
                              std::vector<cc_t>(t.c_cc, t.c_cc + NCCS), cfgetispeed(&t),
                              cfgetospeed(&t));
        };
        EXPECT_EQ(modes(Modes()), modes(expected));
    }

    Pty pty;
    fakes::FakePlatform platform;
    std::thread asker;
    int32_t result = -1;
};

TEST_F(TerminalFormsTest, NumberedBoxesMustAllBeTickedBeforeYes) {
    Start([this] {
        ThreadGlobals() = {false, false, true, false, false, true};
        return AskMulti(platform);
    });
    const std::string screen = pty.WaitFor("Enter = the marked button");
    for (const char* line :
         {"+- Post Warden -", "| 3 [ ] Are you sure you want to send this email with these",
          "| 6 [ ] Are you sure you want to send this email?",
          // Greyed boxes have no number to tick them by.
          "|   [ ] Are you sure you want to send this email outside the", "[ Yes ]   < No >"}) {
        EXPECT_NE(screen.find(line), std::string::npos) << line << "\n" << screen;
    }
    pty.Type("y");
    pty.WaitFor("Yes cannot be pressed yet.");
    pty.Type("1");  // greyed
    pty.WaitFor("That question cannot be ticked.");
    pty.Type("3");
    EXPECT_NE(pty.WaitFor("3 [x]").find("6 [ ]"), std::string::npos);
    pty.Type("6y");
    EXPECT_EQ(Finish(), 6);
}

// Ten rules, one digit each: the tenth box is ticked with 0.
TEST_F(TerminalFormsTest, TheTenthBoxIsTickedWithZero) {
    Start([this] {
        ThreadGlobals() = {.NewRecipientsViolated = true, .LookAlikeDomainsViolated = true};
        return AskMulti(platform);
    });
    const std::string screen = pty.WaitFor("Enter = the marked button");
    for (const char* line :
         {"| 9 [ ] You have never written to these recipients before.",
          "| 0 [ ] A recipient's domain only looks like one you know. Send it anyway?"}) {
        EXPECT_NE(screen.find(line), std::string::npos) << line << "\n" << screen;
    }
    pty.Type("0");
    EXPECT_NE(pty.WaitFor("0 [x]").find("9 [ ]"), std::string::npos);
    pty.Type("9y");
    EXPECT_EQ(Finish(), 6);
}

// A modeless window whose text changes while it is up (the countdown before a
// send, its seconds) shows the new text at once, without waiting for a key.
TEST_F(TerminalFormsTest, ATextChangedWhileAModelessWindowIsUpIsDrawnAtOnce) {
    TerminalWindowSystem windows(pty.path());
    NoEvents none;
    auto window = windows.CreateWindow(frmSimpleYesNoPrompt::Design(), none);
    window->SetControlCaption("lblConfirmationMessage", "Sending in 8 s");
    window->ShowModeless();
    pty.WaitFor("Sending in 8 s");
    window->SetControlCaption("lblConfirmationMessage", "Sending in 7 s");
    const std::string screen = pty.WaitFor("Sending in 7 s");
    EXPECT_EQ(screen.find("Sending in 8 s"), std::string::npos) << screen;
    window->Unload();
    windows.ProcessPendingEvents();
}

// Details longer than the screen scroll with Page Down and Page Up, a page
// less one row at a time, and never past either end.
TEST_F(TerminalFormsTest, DetailsTooLongForTheScreenScroll) {
    TerminalWindowSystem windows(pty.path());
    NoEvents none;
    auto window = windows.CreateWindow(frmSimpleYesNoPrompt::Design(), none);
    std::vector<std::string> details;
    for (int i = 1; i <= 40; ++i) details.push_back("Line " + std::to_string(i) + ".");
    dynamic_cast<ModelWindow&>(*window).SetDetails(details);
    window->ShowModeless();
    std::string screen = pty.WaitFor("more lines (PgDn)");
    EXPECT_NE(screen.find("| Line 1. "), std::string::npos) << screen;
    const auto press = [&](const std::string& key, const std::string& drawn) {
        pty.Type(key);
        windows.ProcessPendingEvents();
        return pty.WaitFor(drawn);
    };
    // 24 rows leave the details 15 rows: 14 lines and where they stand.
    EXPECT_NE(screen.find("| Line 14. "), std::string::npos) << screen;
    EXPECT_EQ(screen.find("| Line 15. "), std::string::npos) << screen;
    EXPECT_NE(screen.find("| ... 26 more lines (PgDn)"), std::string::npos) << screen;
    screen = press("\x1b[6~", "lines 14-27 of 40 (PgUp, PgDn)");
    EXPECT_NE(screen.find("| Line 14. "), std::string::npos) << screen;
    EXPECT_EQ(screen.find("| Line 13. "), std::string::npos) << screen;
    EXPECT_EQ(screen.find("| Line 28. "), std::string::npos) << screen;
    screen = press("\x1b[6~", "lines 27-40 of 40 (PgUp)");
    EXPECT_NE(screen.find("| Line 40. "), std::string::npos) << screen;
    press("\x1b[6~", "lines 27-40 of 40 (PgUp)");
    press("\x1b[5~", "lines 14-27 of 40");
    for (int i = 0; i < 3; ++i) {
        pty.Type("\x1b[5~");
        windows.ProcessPendingEvents();
    }
    screen = pty.WaitFor("... 26 more lines (PgDn)");
    EXPECT_NE(screen.find("| Line 1. "), std::string::npos) << screen;
    window->Unload();
    windows.ProcessPendingEvents();
}

TEST_F(TerminalFormsTest, KeysOrAHangUpAnswerAndTheTerminalIsGivenBackAsItWas) {
    const struct {
        const char* keys;  // null: the terminal hangs up
        bool manualModal;
        int32_t answer;
    } cases[] = {
        {"\r", false, 7},        // Enter on the marked button, No at first
        {"\x1b[D\r", false, 6},  // left arrow marks Yes
        {"\x1b", false, 7},     {"\x03", false, 7}, {"n", false, 7},    {"q", false, 7},
        {"y", true, 6},         {"\x1b", true, 7},  {nullptr, true, 7},
    };
    const termios before = Modes();
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.keys ? c.keys : "hang-up")) +
                     (c.manualModal ? " manual" : ""));
        Start([this, &c] { return AskSimple(platform, "Blank subject?", c.manualModal); });
        pty.WaitFor("Blank subject?");
        EXPECT_FALSE(Modes().c_lflag & (ICANON | ECHO));
        c.keys ? pty.Type(c.keys) : pty.CloseMaster();
        EXPECT_EQ(Finish(), c.answer);
        if (!c.keys) continue;  // nobody left to give it back to
        ExpectModes(before);
        EXPECT_TRUE(pty.Output().starts_with("\x1b[?1049h"));
        EXPECT_TRUE(pty.Output().ends_with("\x1b[?1049l"));  // all of it: read by Finish
    }
}

TEST_F(TerminalFormsTest, AFailureIsShownInAMessageBoxUntilAKey) {
    Start([this] {
        platform.windows->MessageBox("Error occurred.  Reason: x Error Number: {5}",
                                     "Postwarden.Ask");
        return 0;
    });
    const std::string screen = pty.WaitFor("Error Number: {5}");
    EXPECT_NE(screen.find("+- Postwarden.Ask -"), std::string::npos);
    pty.Type("\r");
    EXPECT_EQ(Finish(), 0);
}

// A program that lends its terminal, in a process group of its own: until it is
// released it waits for a child, as mutt waits for its sendmail program, or
// keeps polling, as aerc reads its keys. It exits 0 when a SIGWINCH came.
class Lender {
  public:
    explicit Lender(bool waits) {
        int ends[2], settled[2];
        if (::pipe(ends) != 0 || ::pipe(settled) != 0) ADD_FAILURE() << "no pipe";
        UniqueFd released(ends[0]);
        release_ = UniqueFd(ends[1]);
        UniqueFd settledRead(settled[0]), settledWrite(settled[1]);
        if ((pid_ = ::fork()) == 0) {
            ::setpgid(0, 0);
            release_.Reset();
            settledRead.Reset();
            struct sigaction winch {};
            winch.sa_handler = [](int) { resized = 1; };
            winch.sa_flags = SA_RESTART;
            ::sigaction(SIGWINCH, &winch, nullptr);
            // The lender waits for a child of its own until that is released.
            const bool waiting = waits && ::fork() != 0;
            if (waits && !waiting) ::setsid();  // as mutt's sender: out of the foreground
            // Settled once the child has left the lender's group: until then
            // it would count as one of the group reading the terminal.
            if (!waiting) (void)!::write(settledWrite.Get(), "", 1);
            settledWrite.Reset();
            pollfd release{released.Get(), POLLIN, 0};
            waiting ? ::wait(nullptr) : ::poll(&release, 1, -1);
            ::_exit(resized ? 0 : 1);
        }
        ::setpgid(pid_, pid_);  // the group exists before anything is told to it
        settledWrite.Reset();
        pollfd settledPoll{settledRead.Get(), POLLIN, 0};
        if (::poll(&settledPoll, 1, 5000) != 1) ADD_FAILURE() << "the lender did not settle";
        if (waits) WaitUntil([this] { return BlockedWaitingForChild(pid_); });
    }
    ~Lender() { Resized(); }
    pid_t group() const { return pid_; }
    // Lets it go; whether it was told that its screen changed.
    bool Resized() {
        if (release_.Valid()) {
            release_.Reset();
            int status = 0;
            ::waitpid(pid_, &status, 0);
            resized_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        return resized_;
    }

  private:
    static inline volatile sig_atomic_t resized = 0;
    pid_t pid_ = -1;
    UniqueFd release_;
    bool resized_ = false;
};

// The terminal of a program waiting for the send, in curses mode as mutt keeps
// it.
class BorrowedTerminalTest : public TerminalFormsTest {
  protected:
    BorrowedTerminalTest() {
        termios curses = Modes();
        curses.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        curses.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
        curses.c_cc[VMIN] = 1;
        curses.c_cc[VTIME] = 0;
        tcsetattr(pty.slave(), TCSANOW, &curses);
        lent = Modes();
    }
    termios lent;
};

TEST_F(BorrowedTerminalTest, TheLenderGetsItsModesBackAndRedrawsItsScreen) {
    Lender mutt(true);
    platform.windows = std::make_unique<TerminalWindowSystem>(pty.path(), mutt.group());
    Start([this] { return AskSimple(platform, "Send?\x1b]0;TITLE\x07 \u202Eevil"); });
    // Text from a message is shown, never obeyed.
    EXPECT_NE(pty.WaitFor("Send?").find("Send?\\x1B]0;TITLE\\x07 \\u{202E}evil"),
              std::string::npos);
    pty.Type("y");
    EXPECT_EQ(Finish(), 6);
    ExpectModes(lent);
    const std::string& output = pty.Output();
    // mutt's screen stays up.
    EXPECT_EQ(output.find("\x1b[?1049"), std::string::npos);
    EXPECT_EQ(output.find("\x1b]"), std::string::npos);
    EXPECT_TRUE(output.ends_with("\x1b[H\x1b[2J\x1b[?25h")) << output;
    EXPECT_TRUE(mutt.Resized());
}

TEST_F(BorrowedTerminalTest, NothingIsDrawnWhileTheLenderReadsItsKeys) {
    Lender aerc(false);
    TerminalWindowSystem windows(pty.path(), aerc.group());
    NoEvents none;
    auto window = windows.CreateWindow(frmSimpleYesNoPrompt::Design(), none);
    EXPECT_THROW(window->ShowModeless(), RuntimeError);
    window.reset();
    pty.Skip();
    EXPECT_EQ(pty.Output(), "");
    ExpectModes(lent);
    EXPECT_FALSE(aerc.Resized());
}

// Texts from a message (captions, subject, addresses) are shown escaped, never
// obeyed. The wide glyphs of "Wide" take two columns each.
TEST(TerminalDrawing, TheFrameHoldsAndAMessagesTextsAreShownEscaped) {
    const FormDesign& multi = frmYesNoPrompt::Design();
    const FormDesign& simple = frmSimpleYesNoPrompt::Design();
    const std::string subject = "| Subject: \"Hi\\x1B[2J\\x1B]0;";
    const struct {
        const FormDesign& design;
        bool hostileCaptions;  // else the details of a send
        int columns;
        std::vector<std::string> shown;
        int rows = 24;
    } cases[] = {
        // Cut and said to be; controls, C1 and bidirectional controls escaped,
        // while CR LF still breaks the line.
        {multi,
         true,
         80,
         {"+- \\x1B]0;TITLE\\x07TTT", "xxx...", "Clears\\x1B[2J the", "       screen\\x07?",
          "\\u{009B}2J \\u{202E}evil\\rx"},
         28},
        // The common case is read whole: five recipients and the rest counted,
        // a long address wrapped onto a row of its own, further in.
        {multi,
         false,
         80,
         {subject, "|   and 2 more", "|   lll", "|     lll", "l@x.example    ", "Are you sure"},
         28},
        // On 24 rows the multi-rule window's ten boxes leave room for part of
        // the details, and it says how many lines it left out and how to see them.
        {multi,
         false,
         80,
         {subject, "Are you sure", "|   a2@out.example", "| ... 5 more lines (PgDn)"}},
        {simple, false, 80, {subject, "|   and 2 more", "l@x.example    ", "Are you sure"}},
        // A subject too long for the row goes on in the next.
        {multi, false, 40, {"| Subject:", "|   \"Hi\\x1B[2J", "Are you sure"}},
        {simple, false, 40, {"| Subject:", "|   \"Hi\\x1B[2J", "Are you sure"}},
    };
    NoEvents none;
    TerminalWindowSystem terminal("/nonexistent");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.design.name + " at " + std::to_string(c.columns) + " columns");
        auto created = terminal.CreateWindow(c.design, none);
        auto* window = dynamic_cast<ModelWindow*>(created.get());
        ASSERT_NE(window, nullptr);
        if (c.hostileCaptions) {
            window->SetControlCaption("chkValidateKeywords", std::string(400, 'x'));
            window->SetControlCaption("chkValidateAnySend", "Wide \xe5\x8f\x91\xe9\x80\x81 text?");
            window->SetControlCaption("chkValidateBlankSubject",
                                      "Clears\x1b[2J the\r\nscreen\x07?");
            window->SetControlCaption("chkValidateNumberOfRecipients",
                                      "\xc2\x9b"
                                      "2J \xe2\x80\xae"
                                      "evil\rx");
            window->SetCaption("\x1b]0;TITLE\x07" + std::string(200, 'T'));
        }
        if (!c.hostileCaptions) window->SetDetails(kDetailLines);
        const auto screen =
            TerminalWindowSystem::Draw(*window, "cmdNo", "A hint.", c.columns, c.rows);
        ASSERT_LE(screen.size(), static_cast<size_t>(c.rows));
        std::string all;
        size_t bottom = 0;
        for (size_t i = 0; i < screen.size(); ++i) {
            const std::string text = TerminalWindowSystem::PlainText(screen[i]);
            all += text + "\n";
            if (text.starts_with("+-") && i > 0) bottom = i;
            EXPECT_EQ(text.find_first_of("\x1b\x07\r"), std::string::npos) << text;
            EXPECT_EQ(text.find("\xe2\x80\xae"), std::string::npos) << text;
        }
        // Every row from the top border to the bottom one is as wide as the box
        // and framed.
        ASSERT_GT(bottom, 0u) << all;
        for (size_t i = 0; i <= bottom; ++i) {
            const std::string text = TerminalWindowSystem::PlainText(screen[i]);
            const size_t wide = text.find("Wide") != std::string::npos ? 2 : 0;
            EXPECT_EQ(text.size(), static_cast<size_t>(c.columns) + wide) << text;
            EXPECT_EQ(text.back(), i == 0 || i == bottom ? '+' : '|') << text;
        }
        for (const std::string& shown : c.shown) {
            EXPECT_NE(all.find(shown), std::string::npos) << shown << "\n" << all;
        }
    }
}

// Details that just fit are shown whole, without a row saying where they
// stand; one line more and they scroll, the screen no taller than before. A
// line as wide as the box is one row.
TEST(TerminalDrawing, DetailsThatJustFitAreShownWhole) {
    NoEvents none;
    TerminalWindowSystem terminal("/nonexistent");
    auto created = terminal.CreateWindow(frmSimpleYesNoPrompt::Design(), none);
    auto& window = dynamic_cast<ModelWindow&>(*created);
    // On 80 x 24, under a hint of one line, the single-rule window leaves its
    // details 16 rows, a blank one first, in a box 76 columns wide.
    std::vector<std::string> details{std::string(76, 'w')};
    for (int i = 2; i <= 15; ++i) details.push_back("Line " + std::to_string(i) + ".");
    for (const bool oneMore : {false, true}) {
        if (oneMore) details.push_back("Line 16.");
        window.SetDetails(details);
        TerminalWindowSystem::DetailScroll scroll;
        const auto screen = TerminalWindowSystem::Draw(window, "cmdNo", "A hint.", 80, 24, &scroll);
        std::string all;
        for (const auto& line : screen) all += TerminalWindowSystem::PlainText(line) + "\n";
        EXPECT_LE(screen.size(), 24u) << all;
        EXPECT_NE(all.find("| " + std::string(76, 'w') + " |"), std::string::npos) << all;
        EXPECT_EQ(scroll.total, oneMore ? 16 : 15);
        if (oneMore) {
            EXPECT_EQ(scroll.shown, 14);
            EXPECT_NE(all.find("| ... 2 more lines (PgDn)"), std::string::npos) << all;
        } else {
            EXPECT_EQ(scroll.shown, 15);
            EXPECT_NE(all.find("| Line 15. "), std::string::npos) << all;
            EXPECT_EQ(all.find("more lines"), std::string::npos) << all;
        }
    }
}

// How a mail client starts the sender, the process that looks for a terminal.
struct Client {
    const char* name;  // the client's process name, as the reasons give it
    // The client's controlling terminal is a pseudo-terminal, in raw mode when
    // `keyByKey` (a full-screen client) or else in line mode.
    bool ownsPty = true;
    bool keyByKey = true;
    bool waits = true;        // blocked in waitpid (mutt, git) or polling its terminal (aerc)
    bool newSession = false;  // the sender runs in a session of its own, through a double fork
    bool otherUser = false;   // the client runs as another user than the sender
    bool companion = false;   // another program of the client's group reads the terminal
    bool helper = false;      // another program of the client's group, without the terminal
};

void Replace(std::string& text, const std::string& what, const std::string& with) {
    for (size_t at; !what.empty() && (at = text.find(what)) != std::string::npos;) {
        text.replace(at, what.size(), with);
    }
}

// What ReachTerminal() found, as "use|path|lender|why" with the client's
// terminal written %t, its pid %p and the companion's %r.
[[noreturn]] void RunSender(const Client& client, pid_t clientPid, pid_t companion, int report) {
    // Root again, the sender may read everything about the client's processes.
    if (client.otherUser && ::setresuid(0, 0, 0) != 0) ::_exit(1);
    if (client.newSession) {
        ::setsid();
        if (const pid_t sender = ::fork(); sender != 0) {
            ::waitpid(sender, nullptr, 0);
            ::_exit(0);
        }
        WaitUntil([] { return BlockedWaitingForChild(::getppid()); });
    }
    if (client.waits) WaitUntil([clientPid] { return BlockedWaitingForChild(clientPid); });
    const TerminalReach reach = ReachTerminal();
    const char* uses[] = {"none", "own", "borrowed"};
    std::string text = std::string(uses[static_cast<int>(reach.use)]) + "|" + reach.path + "|" +
                       std::to_string(reach.lender) + "|" + reach.why;
    Replace(text, client.ownsPty ? ::ttyname(0) : "", "%t");
    Replace(text, "|" + std::to_string(clientPid) + "|", "|%p|");
    Replace(text, "(pid " + std::to_string(clientPid) + ")", "(pid %p)");
    Replace(text, "(pid " + std::to_string(companion) + ")", "(pid %r)");
    ::_exit(::write(report, text.data(), text.size()) < 0);
}

[[noreturn]] void RunClient(const Client& client, int report) {
    ::prctl(PR_SET_NAME, client.name);
    // Keeps root as its saved user, for the sender to take back.
    if (client.otherUser && ::setresuid(65534, 65534, 0) != 0) ::_exit(1);
    if (!client.ownsPty) ::setsid();
    termios mode{};
    if (client.keyByKey && ::tcgetattr(0, &mode) == 0) {
        ::cfmakeraw(&mode);
        ::tcsetattr(0, TCSANOW, &mode);
    }
    pid_t companion = 0;
    int ready[2] = {-1, -1};
    if ((client.companion || client.helper) && ::pipe(ready) == 0 && (companion = ::fork()) == 0) {
        ::prctl(PR_SET_NAME, "reader");
        if (client.helper) {  // as gpgconf under NeoMutt: busy, but not with the terminal
            const int null = ::open("/dev/null", O_RDWR);
            for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
        }
        ::close(ready[0]);
        ::close(ready[1]);
        pollfd keys{0, POLLIN, 0};
        for (;;) ::poll(&keys, 1, -1);
    }
    // The sender looks only once the companion has its name and its files.
    if (ready[1] >= 0) {
        ::close(ready[1]);
        char end;
        (void)!::read(ready[0], &end, 1);
        ::close(ready[0]);
    }
    const pid_t self = ::getpid();
    const pid_t sender = ::fork();
    if (sender == 0) RunSender(client, self, companion, report);
    // Blocked in waitpid, or reading its terminal key by key as aerc does.
    while (::waitpid(sender, nullptr, client.waits ? 0 : WNOHANG) == 0) {
        pollfd keys{client.ownsPty ? 0 : -1, POLLIN, 0};
        ::poll(&keys, 1, 20);
    }
    if (companion > 0) ::kill(companion, SIGKILL);
    ::_exit(0);
}

// Starts the client, which starts the sender; what the sender reported.
std::string Reach(const Client& client) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) ADD_FAILURE() << "no pipe";
    UniqueFd reportRead(ends[0]), reportWrite(ends[1]);
    int master = -1;
    const pid_t pid = client.ownsPty ? ::forkpty(&master, nullptr, nullptr, nullptr) : ::fork();
    if (pid == 0) RunClient(client, reportWrite.Get());
    const UniqueFd masterOwner(master);  // closing it early would hang the client up
    reportWrite.Reset();
    std::string report;
    char buffer[512];
    for (ssize_t got; (got = ::read(reportRead.Get(), buffer, sizeof buffer)) > 0;) {
        report.append(buffer, static_cast<size_t>(got));
    }
    ::waitpid(pid, nullptr, 0);
    return report;
}

TEST(TerminalReach, ATerminalNobodyReadsKeyByKeyOrNobody) {
    const struct {
        Client client;
        const char* found;
    } cases[] = {
        {{.name = "mutt", .newSession = true},
         "borrowed|%t|%p|terminal %t of mutt (pid %p), which waits for this send"},
        {{.name = "aerc", .waits = false},
         "none||0|the terminal %t is being read by aerc (pid %p)"},
        {{.name = "aerc", .waits = false, .newSession = true},
         "none||0|the terminal %t is being read by aerc (pid %p)"},
        {{.name = "git", .keyByKey = false},
         "own|/dev/tty|0|terminal %t, this send's own, in line mode"},
        // A full-screen program that runs the sender on its own terminal and waits.
        {{.name = "vim"},
         "borrowed|/dev/tty|%p|terminal %t of vim (pid %p), which waits for this send"},
        // On the sender's own terminal too, only a member that holds it reads it.
        {{.name = "vim", .helper = true},
         "borrowed|/dev/tty|%p|terminal %t of vim (pid %p), which waits for this send"},
        {{.name = "vim", .companion = true},
         "none||0|the terminal %t is being read by reader (pid %r)"},
        {{.name = "daemon",
          .ownsPty = false,
          .keyByKey = false,
          .waits = false,
          .newSession = true},
         "none||0|no terminal, and no waiting program's terminal"},
        {{.name = "mutt", .newSession = true, .otherUser = true},
         "none||0|no terminal, and no waiting program's terminal"},
        {{.name = "mutt", .newSession = true, .companion = true},
         "none||0|the terminal %t of mutt (pid %p) is being read by reader (pid %r)"},
        {{.name = "neomutt", .newSession = true, .helper = true},
         "borrowed|%t|%p|terminal %t of neomutt (pid %p), which waits for this send"},
    };
    for (const auto& c : cases) {
        if (c.client.otherUser && ::getuid() != 0) continue;  // needs root to change users
        EXPECT_EQ(Reach(c.client), c.found) << c.client.name;
    }
}

// A Go program such as aerc may have a thread in waitpid for its child while
// another reads the terminal: a process waits only when every thread does.
TEST(TerminalReach, OneThreadWaitingIsNotTheProcessWaiting) {
    const pid_t process = ::fork();
    if (process == 0) {
        const pid_t self = ::getpid();
        if (const pid_t child = ::fork(); child != 0) {
            std::thread reader([] { ::poll(nullptr, 0, -1); });
            ::waitpid(child, nullptr, 0);
            ::_exit(0);
        }
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // goes with its parent, even one gone already
        if (::getppid() == self) ::pause();
        ::_exit(0);
    }
    // Until both threads sleep: the main one in waitpid, the other in poll.
    const std::string tasks = "/proc/" + std::to_string(process) + "/task";
    EXPECT_TRUE(WaitUntil([&] {
        int sleeping = 0;
        for (const auto& task : std::filesystem::directory_iterator(tasks)) {
            sleeping += ReadFile(task.path() / "stat").find(") S ") != std::string::npos;
        }
        return sleeping == 2;
    }));
    EXPECT_FALSE(BlockedWaitingForChild(process));
    ::kill(process, SIGKILL);
    ::waitpid(process, nullptr, 0);
}

}  // namespace
}  // namespace postwarden::testing
