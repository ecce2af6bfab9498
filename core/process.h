// Starting other programs, optionally waiting for their exit code, and finding
// running programs by their executable's name. Programs start with posix_spawn
// from an argument vector split by the system's own quoting rules; no shell runs.
#pragma once

struct StopFlag;

// Longest program path and longest command line ("\"program\" arguments"), in
// characters. Longer ones are refused, never cut.
enum { PROCESS_PATH_MAX = 1023, PROCESS_COMMAND_LINE_MAX = 1023 };

// Starts `program` with the command line "\"%s\" %s" (program, arguments or "").
// The program's double quotes and those of the working directory are dropped; a
// program without '/' is looked up on PATH. The child gets standard input from
// /dev/null and a session of its own ("new console"); `show` has no effect here.
// workingDirectory may be null or empty (the caller's folder is kept).
// Without wait: returns 1 when the program started; the child is reaped when it
// ends (no zombies). With wait: waits for the child, checking *stop (null: never
// stop) at least every 1000 ms; stores the exit code in *exitCode and returns 1
// when the child ended. A stop flag that becomes non-zero ends the wait with 0
// and leaves the child running.
// *exitCode (may be null) is -1 until a child's exit code is read; a child killed
// by a signal gives -1. Returns 0 when the program cannot be started
// ("WinProcessHelper_Launch(%s) fails with error '%s'\n").
int WinProcessHelper_Launch(int show, const char *program, const char *arguments,
                            const char *workingDirectory, int wait, const StopFlag *stop,
                            int *exitCode);
// Starts the program hidden, without working directory and without waiting.
int WinProcessHelper_LaunchHidden(const char *arguments, const char *program);
// Starts the program shown, without working directory and without waiting.
int WinProcessHelper_LaunchShown(const char *program, const char *arguments);
// Starts and waits; 1 when the program ran and *exitCode holds its exit code,
// 0 with *exitCode -1 when it could not start or the wait was stopped.
int WinProcessHelper_LaunchWait(int *exitCode, const char *workingDirectory, const StopFlag *stop,
                                const char *program, const char *arguments, int show);

// 1 when a running process (zombies excluded) of any user has an executable whose
// file name equals the file-name part of path (case-sensitive), else 0. Every
// process is looked at.
int WinProcessHelper_IsRunning(const char *path);
// As WinProcessHelper_IsRunning; stores the first such process's id in *pid.
int WinProcessHelper_FindProcess(const char *path, int *pid);
