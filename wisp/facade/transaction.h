// wisp.wisp, transactions: the scope every transactional wrapper runs its
// block in, and that scope under a switch of data source. Defined in
// transaction.cpp.
#pragma once

#include <memory>
#include <optional>

#include "selection.h"

namespace wisp::facade {

// The transaction of a data source's gateway around a block:
//
//     gateway = None
//     try:
//         gateway = <owner>.datasource[name]["db_gateway"]
//         gateway.begin_tx()            # begin_savepoint() for a savepoint
//         yield gateway
//         gateway.commit()
//     except BaseException:
//         if gateway: gateway.rollback()
//         raise
//     finally:
//         if gateway: gateway.close()
//
// Every exception rolls back, KeyboardInterrupt and SystemExit too: the
// gateway's close() leaves a transaction that is still open in place, so
// without the rollback the context would keep its session, and every later
// transaction and statement in it would report success while nothing of it
// is ever committed. A failed begin_tx() is rolled back and closed as well;
// a failed begin_savepoint() opened no level, and is left alone.
//
// `owner` is the class whose registry is read (null: BaseMapper, looked up
// when the block is entered); a null `name` is get_current_db() then. The
// gateway is tested for truth, or against None with `is_not_none`.
class TxScope : public SourceScope {
 public:
  TxScope(Ref globals, Ref owner, Ref name, bool savepoint, bool is_not_none = false)
      : SourceScope(std::move(globals), std::move(owner), std::move(name)),
        savepoint_(savepoint),
        is_not_none_(is_not_none) {}

 protected:
  Ref enter() override;
  void on_success() override;
  void on_error(Borrowed exc) override;
  void on_finally() override;

 private:
  bool usable();
  bool savepoint_;
  bool is_not_none_;
  bool ended_ = false;
};

// `with switch_datasource(name):` around a TxScope, as a generator body:
// the module's switch_datasource is looked up on entry; while it is the
// original its body runs inline, a replaced one is entered with `with` (and
// may suppress the block's exception). Without a name there is no switch:
// the data source in force is used.
class TransactionBody : public GenBody {
 public:
  TransactionBody(Ref globals, Ref owner, Ref name, bool savepoint, bool is_not_none = false);
  Step resume(Borrowed sent) override;
  Step resume_throw(Ref exc) override;
  int traverse(visitproc visit, void* arg) override;

 private:
  void enter_switch();
  Step leave_switch(Ref exc);
  void leave_switch();
  Ref globals_;
  Ref name_;
  TxScope scope_;
  std::optional<Switch> native_;
  std::unique_ptr<With> block_;
  int state_ = 0;
};

}  // namespace wisp::facade
