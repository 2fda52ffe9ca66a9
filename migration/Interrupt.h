#ifndef ZELVO_MIGRATION_INTERRUPT_H
#define ZELVO_MIGRATION_INTERRUPT_H

#include <atomic>

// SIGINT as a request to stop. The handler only counts the signal in a
// lock-free atomic and runs an optional async-signal-safe hook; the code
// that owns the run tests the request at its own safe points and performs
// the abort itself.
//
//   Interrupt::install();                  // once, in main
//   if (Interrupt::pending()) ...          // cheap test, any thread
//   unsigned n = Interrupt::take();        // SIGINTs not yet acted upon
//   const std::atomic<bool>& f = Interrupt::flag(); // for lower layers
class Interrupt {
public:
    // Called from the handler after the request is recorded. It must be
    // async-signal-safe (e.g. store to a lock-free atomic, shutdown(2)).
    using Hook = void (*)(void* context);

    // Installs the SIGINT handler (system calls restarted); never removed.
    // A SIGINT ignored when this is called (a job started in the background
    // of a script) stays ignored.
    static void install();

    // Makes every other signal that would end the process by default and
    // can be caught a request like SIGINT (SIGTERM, SIGHUP, SIGUSR1, SIGUSR2,
    // SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO, SIGPWR,
    // SIGSTKFLT, the real-time signals), except one that is ignored when
    // this is called (as SIGHUP under nohup). SIGQUIT stays a hard kill;
    // the signals of faults (SIGSEGV, SIGBUS, ...) are left alone.
    static void installStopSignals();

    // True once a SIGINT arrived (until reset).
    static bool pending() noexcept;

    // Number of SIGINTs since the last take, so each further interrupt can
    // be acted upon again; pending() stays true.
    static unsigned take() noexcept;

    // Requests since the last reset (take() leaves it alone), so a hook can
    // tell the first interrupt from a later one.
    static unsigned count() noexcept;

    // The flag behind pending(), for code that must not depend on this
    // class (it stays set until reset).
    static const std::atomic<bool>& flag() noexcept;

    // Records a request as the handler does, hook included.
    static void request() noexcept;

    // Clears the request and the count (for tests and a fresh run).
    static void reset() noexcept;

    // Sets the hook (null removes it). Installing a hook while another is
    // set replaces it; the handler sees either the old or the new pair.
    static void setHook(Hook hook, void* context) noexcept;
};

// The SIGINT handler: Interrupt::request().
extern "C" void catch_signal(int signal);

#endif
