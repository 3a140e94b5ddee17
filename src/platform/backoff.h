// Waiting for something another process holds for a short while: a lock
// file taken for one registry pass, a daemon about to register.
#ifndef QUARN_PLATFORM_BACKOFF_H_
#define QUARN_PLATFORM_BACKOFF_H_

/// Sleeps between attempts: a short first step, doubling up to a cap, until
/// the budget of sleep is spent.
class Backoff {
 public:
  explicit Backoff(long long budgetUs, int firstUs = 32, int capUs = 1000)
      : left_us_(budgetUs), first_us_(firstUs), cap_us_(capUs), step_us_(firstUs) {}

  /// Sleeps the next step when the budget allows; the microseconds slept,
  /// 0 once the budget is spent.
  int Pause();
  /// The next pause is a first step again: a new wait within the budget.
  void Restart() { step_us_ = first_us_; }

 private:
  long long left_us_;
  int first_us_, cap_us_, step_us_;
};

#endif  // QUARN_PLATFORM_BACKOFF_H_
