// A small program with a window laid out like carob's, for the toolkit's
// tests. Every event is appended as one line to the log file named by the
// first argument:
//   load | unload | tick <n> <interval> | click | change <combo> <text> |
//   pick <combo> <text> | status
// Options after the log file:
//   headless            use the toolkit without a display
//   raise-in-load=SIG   raise SIGUSR1 or SIGTERM from inside Load
//   yield-in-click      the click handler fills the list and yields 50 times
//   text=<t>            Load sets OutProg's text to t
//   interval=<ms>       the timer's interval
//   status=<t>          the first tick shows the status t
//   close-after=<n>     the n-th tick closes the window from the program
//   box=<title>         Load shows a message box with this title
//   load-wait=<ms>      Load then yields for this long, as the registry's
//                       waits do, and notes "load wait closed" when a close
//                       request ends the wait early
//   yield-in-tick       every tick yields for a while (notes "nested tick"
//                       if another tick starts inside it)
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/ui.h"

using namespace carob::platform::ui;

namespace {

std::string g_log;

void Note(const std::string& line) {
  if (std::FILE* f = std::fopen(g_log.c_str(), "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ui_probe LOGFILE [options]\n");
    return 2;
  }
  g_log = argv[1];
  bool headless = false, yield_in_click = false, yield_in_tick = false;
  int raise_in_load = 0, interval = 1000, close_after = 0, load_wait_ms = 0;
  std::string text, status, box;
  bool set_text = false;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "headless") headless = true;
    else if (a == "yield-in-click") yield_in_click = true;
    else if (a == "yield-in-tick") yield_in_tick = true;
    else if (a == "raise-in-load=SIGUSR1") raise_in_load = SIGUSR1;
    else if (a == "raise-in-load=SIGTERM") raise_in_load = SIGTERM;
    else if (a.rfind("text=", 0) == 0) { text = a.substr(5); set_text = true; }
    else if (a.rfind("interval=", 0) == 0) interval = std::atoi(a.c_str() + 9);
    else if (a.rfind("status=", 0) == 0) status = a.substr(7);
    else if (a.rfind("box=", 0) == 0) box = a.substr(4);
    else if (a.rfind("close-after=", 0) == 0) close_after = std::atoi(a.c_str() + 12);
    else if (a.rfind("load-wait=", 0) == 0) load_wait_ms = std::atoi(a.c_str() + 10);
  }

  std::unique_ptr<Toolkit> kit = headless ? NewHeadlessToolkit() : NewToolkit();

  // carob's form, laid out as carob lays it out.
  Frame frame;
  Label label1, label2;
  ComboBox in_prog, out_prog;
  Button think;
  ListBox word_list, memory;
  Timer timer;
  timer.Interval = interval;
  const MainFormControls controls{frame, label1, in_prog, label2, out_prog, think, word_list, memory, timer};
  controls.Place();
  FormDescription form = controls.Describe("CAROB");

  in_prog.Change = [&] { Note("change InProg " + in_prog.Text()); };
  out_prog.Change = [&] { Note("change OutProg " + out_prog.Text()); };
  in_prog.Click = [&] { Note("pick InProg " + in_prog.Text()); };
  out_prog.Click = [&] { Note("pick OutProg " + out_prog.Text()); };

  bool busy = false;
  think.Click = [&] {
    if (busy) {
      Note("click ignored");
      return;
    }
    busy = true;
    Note("click");
    memory.Clear();
    for (int i = 0; i < 50; ++i) {
      memory.AddItem("line " + std::to_string(i));
      if (yield_in_click) kit->Yield();
    }
    memory.Refresh();
    Note("click done");
    busy = false;
  };

  int ticks = 0, tick_depth = 0;
  timer.Tick = [&] {
    if (++tick_depth > 1) Note("nested tick");
    ++ticks;
    Note("tick " + std::to_string(ticks) + " " + std::to_string(timer.Interval));
    if (ticks == 1 && !status.empty()) {
      kit->ShowStatus(status);
      Note("status");
    }
    if (yield_in_tick) {
      for (int i = 0; i < 20; ++i) {
        ::usleep(2000);
        kit->Yield();
      }
    }
    if (close_after > 0 && ticks == close_after) kit->Close();
    --tick_depth;
  };

  FormEvents events;
  events.Load = [&] {
    Note(std::string("load ") + (kit->HasWindow() ? "window" : "headless"));
    if (set_text) out_prog.SetText(text);
    if (raise_in_load != 0) ::raise(raise_in_load);
    if (!box.empty()) {
      kit->MessageBox("Something needs your attention.\r\n\r\nPress OK to go on.", box);
      Note("box answered");
    }
    for (int waited = 0; waited < load_wait_ms; waited += 2) {
      kit->Yield();
      if (kit->Closing()) {
        Note("load wait closed");
        break;
      }
      ::usleep(2000);
    }
    Note("load done");
  };
  events.Unload = [&] { Note("unload"); };
  int rc = kit->Run(form, events);
  Note("exit " + std::to_string(rc));
  return rc;
}
