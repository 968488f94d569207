// interrupt.h - Ctrl-C and termination during a long board transfer: while
// an InterruptWatch lives, SIGINT and SIGTERM only set a flag, so the byte in
// flight finishes and the command stops between bytes, says how far it got
// and exits with status 130 (Interrupted). Watches nest: an inner one keeps
// a signal the outer one caught.
#ifndef BREVANTCTL_INTERRUPT_H
#define BREVANTCTL_INTERRUPT_H

namespace brevantctl {

class InterruptWatch {
   public:
    InterruptWatch();
    ~InterruptWatch();  // the handlers that were there before come back
    InterruptWatch(const InterruptWatch &) = delete;
    InterruptWatch &operator=(const InterruptWatch &) = delete;

    // A signal came since the outermost watch began.
    bool interrupted() const;
    // Whether a watch is alive (signals then only set the flag).
    static bool active();

   private:
    using Handler = void (*)(int);
    Handler previousInt_, previousTerm_;
};

}  // namespace brevantctl

#endif
