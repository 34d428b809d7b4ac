#pragma once

#include <sys/types.h>

#include <string>

namespace postwarden {

// Which terminal a form can be drawn on when no display answers, found from
// /proc as things stand now, or in words why there is none.
//
// A form is drawn only where nobody else reads the keys: on this program's own
// terminal in line mode (git send-email, a script), or on a terminal whose
// foreground programs are all blocked waiting for this one. The second covers
// mutt and NeoMutt, which run their sendmail program in a session of its own
// (so it has no terminal) and wait for it with their screen in curses mode; it
// rules out aerc, which runs it on its own terminal and goes on reading keys
// there.
struct TerminalReach {
    enum class Use {
        kNone,      // nobody can be asked on a terminal; `why` says why
        kOwn,       // this program's terminal: nobody reads it key by key
        kBorrowed,  // the screen of programs that wait for this one
    };
    Use use = Use::kNone;
    // The device to open ("/dev/tty" for the own terminal); empty for kNone.
    std::string path;
    // kBorrowed: the terminal's foreground process group, the waiting program
    // that is to redraw its screen once the form is gone.
    pid_t lender = 0;
    // One short phrase for a person: the terminal and why it may be used, or
    // why none may ("the terminal /dev/pts/4 is being read by aerc (pid 1234)").
    std::string why;
};

// Looks at this process, its ancestors and their terminals. Never throws;
// whatever cannot be read counts against using a terminal.
TerminalReach ReachTerminal();

// A process of process group `group`, other than this one, that has the
// terminal `terminal` (a device number) open and is not blocked waiting for a
// child, as "aerc (pid 1234)"; empty when there is none. A member whose open
// files cannot be looked at counts as holding the terminal. (A helper a mail
// client runs in its group with other input, such as gpgconf, reads nothing
// from the terminal.)
std::string ReaderInGroup(pid_t group, dev_t terminal);

// The device number of the terminal open as `fd`: /dev/tty stands for this
// process's controlling terminal. 0 when it cannot be told.
dev_t TerminalDevice(int fd);

// Whether process `pid` has the character device `terminal` open; true when its
// open files cannot be looked at.
bool HoldsTerminal(pid_t pid, dev_t terminal);

// Whether every thread of process `pid` sleeps in a wait for a child (waitpid,
// wait4, waitid). False when that cannot be read.
bool BlockedWaitingForChild(pid_t pid);

}  // namespace postwarden
