#pragma once
// What every program does before it opens anything: the three standard descriptors made sure
// to exist, and the signals whose default action would end a run without a word turned into
// failed writes that the run reports.

namespace tarn {

// Which standard descriptors were closed when the program started. Each is then open on
// /dev/null, so that no file the program opens lands on fd 0, 1 or 2 (a message written to
// "standard error" would otherwise go into that file). "-" on a closed standard stream names
// nothing: the programs refuse it ("Error, cannot open -", "Error, cannot create -").
struct StandardStreams {
  bool input_closed = false;
  bool output_closed = false;
};

// Opens /dev/null on each of fds 0, 1 and 2 that is closed, and ignores SIGPIPE and SIGXFSZ: a
// write to a closed pipe then fails with EPIPE and one past `ulimit -f` with EFBIG, and both take
// the path of a full disk ("Error, cannot write PATH") instead of killing the program.
StandardStreams prepare_process();

}  // namespace tarn
