// skwtool.h - what the substitute SKWSYSCMD and SKWSECCMD share: the
// command-line log, the behaviour knobs and the line printer.
//
// Environment variables (all optional):
//   SKW_LOG=FILE          append each command line received, one line each
//   SKW_ONLY=/W1,/W2      the behaviour knobs below apply only to commands
//                         whose first word (up to ':') is listed
//   SKW_DELAY_MS=N        wait N ms before doing anything else
//   SKW_PAUSE_MS=N        pause N ms after the first line of output
//   SKW_SLOW_MS=N         wait N ms before every line
//   SKW_SILENT=1          print nothing (the command is still carried out)
//   SKW_NEVER_END=1       stay alive, silent, after the output
//   SKW_CRLF=1            end lines with CR LF
//   SKW_LONG_LINES=N      print a line of N '#' before every line
//   SKW_NO_FINAL_NEWLINE=1 the last line has no line end
//   SKW_FAIL=1            print an error line, change nothing, exit 1
//   SKW_CHATTER=TEXT      after the first line (at once when there is none
//                         to print), write TEXT over and over and never end:
//                         a stuck tool; without a line end in TEXT, one
//                         endless line
//   SKW_MATCH=TEXT        the behaviour knobs apply only to command lines
//                         that contain TEXT (besides SKW_ONLY)
//   SKW_IGNORE=1          answer as usual but change nothing
//   SKW_KILL_CALLER=TEXT  a command line that contains TEXT ends the tool's
//                         caller at once; the tool then ends too, having
//                         done nothing (a console that gave up, a reboot),
//                         unless SKW_OUTLIVE is set
//   SKW_OUTLIVE=1         the tool does not end with its caller, as no
//                         Windows program does: it goes on with its work
//                         (after SKW_KILL_CALLER too) and ignores writes
//                         that fail because its reader has gone
//   SKW_GATE=FILE         after SKW_KILL_CALLER, wait (30 s at most) until
//                         FILE exists before going on: a tool whose caller
//                         died, held until the test lets it act
//   SKW_LINGER_MS=N       after its last line, work on N ms before ending
//   SKW_SNAPSHOT_LAST=F   /BOOTSYS and /PWRSYS copy the credential store to
//                         F just before they end (after SKW_LINGER_MS)
#pragma once

#include <string>
#include <vector>

namespace skw {

struct Knobs {
    int delayMs = 0;
    int pauseMs = 0;
    int slowMs = 0;
    bool silent = false;
    bool neverEnd = false;
    bool crlf = false;
    int longLines = 0;
    bool noFinalNewline = false;
    bool fail = false;
    bool ignore = false;
    int lingerMs = 0;
    std::string chatter;
    std::string snapshotAtEnd;  // the store is copied there as the tool ends
};

// The command line as the adapter wrote it, rebuilt from the arguments:
// the values of /HOST:, /ADDOUT:, /SETUID: and /PWD: go back between
// double quotes.
std::string RebuildCommandLine(int argc, char **argv);

// Appends one line to SKW_LOG, if set.
void LogCommandLine(const std::string &line);

// "/ADDOUT:h" -> "/ADDOUT"; "" when there is no argument.
std::string CommandWord(int argc, char **argv);

// The behaviour knobs that apply to this command word and line.
Knobs ReadKnobs(const std::string &commandWord, const std::string &commandLine = "");

std::string Env(const char *name);
std::vector<std::string> Split(const std::string &text, char separator);
int EnvInt(const char *name);

// Prints the lines as the knobs say, then ends (or never does).
[[noreturn]] void Answer(const Knobs &knobs, const std::vector<std::string> &lines, int status);

// Sleeps, ending the process when its parent has gone (so no substitute
// tool outlives the test that started it), unless SKW_OUTLIVE is set.
void Nap(int ms);

// The start of every tool: logs the command line, reads the knobs for its
// command word, waits the first-output delay, and fails with failText when
// told to.  Returns the command word.
std::string Begin(int argc, char **argv, const char *failText, Knobs *knobs);

// Copies the credential store (SKW_CREDSTORE) to path, if both are set.
void CopyStore(const std::string &path);

}  // namespace skw
