// The operations of the compiled form (eval/interpreter_compiled.hpp) and
// the units that hold them: what the compiler makes and the runner runs.
// Internal to eval/interpreter_compiled_*.cpp.
#pragma once

#include <vector>

#include "eval/interpreter_compiled.hpp"
#include "eval/interpreter_internal.hpp"

namespace qel::interp::compiled {

using namespace detail;

// ---- units ------------------------------------------------------------------------

enum OpCode : u8 {
  // blocks
  O_BLOCK,      // opens a block: frame, held block, current code (k: the unit's block; a: its O_END; b: where the code goes on after it)
  O_STMT,       // a statement begins at pos
  O_NEXT,       // a statement ended: the frame is emptied when more follows, else on to O_END
  O_END,        // the block ends (statements left over run as the reference runs them)
  // the first value of an expression at pos (a: the op after the whole expression)
  O_CONST,      // c, placed as it is
  O_WORD,       // c: a word compiled as data
  O_GETW,       // c: the word of a get-word
  O_LITW,       // c: the word of a lit-word, placed as it is
  O_GENERIC,    // the expression as the reference evaluates it
  O_SET,        // c: a set-word; its value's expression follows (b: its O_SETDONE)
  O_PAREN,      // its block follows (b: its O_PARENDONE)
  O_CALL,       // c: the function the word d held; k: its call; the arguments follow (b: its O_CALLDONE)
  // the ends of constructs
  O_SETDONE,
  O_PARENDONE,
  O_ARGCHECK,   // k: the argument just fetched is of a type the function takes
  O_INVOKE,     // the arguments are in: the call runs
  O_BRANCH,     // either, if, unless with literal blocks (k: the native; c, d: the blocks; a, b: their O_BLOCKs)
  O_CALLDONE,
  // infix operators after a value (a: the op after the whole expression)
  O_OP,         // pos: the word d naming the operator c (k: its operation; b: its call); the right operand follows (e: its O_OPDONE)
  O_OPDONE,
  O_NOOP,       // pos: the word d follows the value: when it names an operator now, the reference applies it
  // frameless forms, each followed by the framed form it falls back to (a: the op after that)
  O_PURE,       // k: a frameless expression from pos to b
  O_PURESET,    // c: a set-word whose value is the frameless expression k, from pos to b
  // arguments taken without evaluation
  O_QUOTE,      // c: the cell at pos, pushed as it is (k: the argument; flags: F_LITERAL or not; e: its call)
  // loops whose blocks are inlined, in the loop native's frame (k: the native;
  // c, d: the body and condition blocks; a, b: their O_BLOCKs; e: O_LOOPDONE;
  // spare: the native's O_INVOKE, taken when the blocks are not these)
  O_LOOP,
  O_LOOPNEXT,   // a pass begins
  O_LOOPCOND,   // while's condition ran
  O_LOOPBACK,   // the body ran
  O_LOOPDONE,   // a status or a transfer reached the loop frame
  // O_CALL for a path of words through objects to the function c (e: its
  // PathWalk); d: the name the call's frame takes
  O_PATHCALL,
  // the first value of an expression: c, a path of words read through objects
  // and events to a value that is no function (the reference takes any other)
  O_GETPATH,
  // O_CALL for a function value that the code holds itself (d: the name the
  // call's frame takes); the code epoch guards it
  O_LITCALL,
  // a function's call through a path of refinements (k: its call): the
  // cells for its refinements pushed after the main arguments (O_REFS), a
  // refinement's flag turned on (O_REFON, a: its slot from the base), an
  // argument of it just fetched moved from the top into its slot (O_REFARG)
  O_REFS,
  O_REFON,
  O_REFARG,
  // a call through a path of refinements (k: its call), after arguments
  // that may have run other code: the path must still hold its cells, else
  // the refinements from the spare-th on are taken as the reference takes
  // them and the call is made from here
  O_REFCHECK,
  // any, all and reduce with a literal block (k: the native): its
  // expressions are inlined, each in a frame of its own, its result tested
  // in the native's base (any, all) or appended to the new block (reduce)
  // (c: the block; a: its block in the unit; b: its expressions, the
  // capacity of reduce's new block; e: O_WALKEND; spare: the native's
  // O_INVOKE, taken when the block is not this one)
  O_WALK,
  O_WSTMT,      // an expression of the block begins at pos
  O_WTEST,      // its value is tested (or appended)
  O_WALKEND,    // the block ran out, or a status reached the walk
  // a set-path of words (and integers) after its head word: c, its field
  // path e; its value's expression follows (b: its O_SETPATHDONE)
  O_SETPATH,
  O_SETPATHDONE,
};

// Operation flags.
constexpr u8 F_SUB = 1;     // the value is pushed (an argument or operand), else left in the base cell
constexpr u8 F_PREFIX = 2;  // no infix operator is applied after the value (an operand)
constexpr u8 F_ARG = 4;     // a call's argument k: at the end of the code, no-arg
constexpr u8 F_MAIN = 8;    // O_BLOCK: the unit's own block (the others are inlined: parens, branches)
constexpr u8 F_LITERAL = 16;  // O_QUOTE: the argument is taken as it is, whatever it is
constexpr u8 F_EVALUATES = 32;  // O_QUOTE: the cell was one the argument evaluates (paren, get-word, get-path)
constexpr u8 F_CHECK = 64;      // a call's argument k (call e) of a lone value: its type is checked here
constexpr u8 F_PURE_BLOCK = 128;  // O_BLOCK: its statements can all run without its frame

struct Op {
  u8 code;
  u8 flags;
  u16 k;
  u32 pos;
  u32 a = 0, b = 0, e = 0;
  u32 spare = 0;
  // F_CHECK: the types the argument takes, as a mask (also set, without
  // F_CHECK, on a literal argument of a type taken: checked only when the
  // reference evaluates the expression instead)
  u64 accepts = 0;
  Cell c{}, d{};
  // The units of the blocks c and d (or of the called function's body), found
  // at their first run, valid while no unit was retired since (gen_c, gen_d).
  mutable Unit* unit_c = nullptr;
  mutable Unit* unit_d = nullptr;
  mutable u32 gen_c = 0, gen_d = 0;
};

// The longest path of objects a call or a field is compiled for.
constexpr u32 MAX_PATH_WALK = 8;

// A statement of a block that runs without its frame: a frameless
// expression, set into a word when set_word is one, or into an object's
// field when field is a field path.
struct PureStmt {
  u32 expr;
  u32 pc;         // its O_STMT, where the framed form of the block goes on
  bool set = false;
  Cell set_word{};
  u32 field = ~0u;
};

// A path of words from a head word through objects to a field (b/vx,
// o/in/x), read or set. The slot each element names is looked for first
// where it was found last: objects made alike keep their words in the same
// slots.
struct FieldPath {
  Cell head{};
  u32 length = 0;                  // the path's elements, head included
  u32 sym[MAX_PATH_WALK] = {};                 // each element's canonical symbol (from 1)
  mutable u32 exact[MAX_PATH_WALK] = {};       // the symbol found at the hint (a spelling of sym)
  mutable u32 hint[MAX_PATH_WALK] = {};        // where each element's slot was found last
};

// A block whose code a unit runs: its series from start to count (the
// length it had when it was read: a block grown since runs only as far as
// it was read), the cells it held then, and the value that runs it.
struct UBlock {
  u32 node = 0;
  u32 start = 0;
  u32 count = 0;
  Cell value{};
  std::vector<Cell> cells;  // cells[i] is the cell at start + i
  // Statements that can all run without the block's frame (none: the block
  // always opens its frame).
  std::vector<PureStmt> pure;
  // The unit's own block: where each statement begins, in order, and the op
  // its code begins with (an expression walked alone begins there).
  std::vector<u32> stmt_pos, stmt_pc;
};

// A frameless expression: values and words holding data, combined by
// arithmetic and comparison operators on numbers, and parens and picks
// of such. It can neither raise an error nor run other code, so nothing can
// see the frames the reference would open for it: it runs without them, far
// enough from the stacks' ends that they would not overflow, or gives up
// having changed nothing (the framed form then takes the expression).
enum PureKind : u8 { PK_CONST, PK_WORD, PK_PAREN, PK_PICK, PK_FIELD };
struct PureOperand {
  PureKind kind;
  u32 expr = 0;  // parens: the expression inside; words of the global context: their index (else ~0);
                 // fields: the field path
  Cell c{};      // the value, the word, or the word of a pick
  Cell d{};      // picks: the integer
};
struct PureStep {
  int fast;      // the operation (fast_op)
  u32 global = ~0u;  // the index of the operator's word in the global context (else ~0)
  Cell opword;   // the word naming the operator
  Cell op;       // the op! value its slot held
  PureOperand rhs;
};
struct PureExpr {
  PureOperand first;
  std::vector<PureStep> steps;
  bool check_next = false;  // a word follows: it must not name an operator now
  Cell next{};
  u32 code_at = 0;          // where its flat code begins (PureInstr)
  i32 bin = -1;             // one operator between two lone values: its BinExpr
};

// The flat code a frameless expression runs: a value in acc, the right
// operand of each operator in r (the parens' values kept on a small stack).
enum PureCode : u8 {
  P_K, P_G, P_W, P_PICK,        // acc = a constant, a global word's value, another word's, a pick
  P_RK, P_RG, P_RW, P_RPICK,    // r = the same
  P_FIELD, P_RFIELD,            // acc, r = a field read through objects (field path a)
  P_SAVE, P_TOR,                // a paren as right operand: acc kept, then r = acc and acc back
  P_GUARDG, P_GUARDW,           // the operator's word (global or not) still holds the op! c
  P_COMB,                       // acc = acc (operation k) r
  P_NEXTW,                      // the word c that follows names no operator now
  P_END,
  P_BIN,                        // the whole expression is one operator on two lone values (BinExpr a)
};

// A frameless expression of one operator between two lone values (a value,
// or a word holding data), the most common kind, run in one step.
enum BinOperand : u8 { B_CONST, B_GLOBAL, B_WORD };
struct BinExpr {
  BinOperand left, right;
  bool guard_global;    // the operator's word is a global one (index guard)
  bool check_next;
  u8 fast;
  u32 left_index = 0, right_index = 0, guard = 0;
  Cell lc{}, rc{};      // the values, or the words
  Cell op{}, opword{};
  Cell next{};
};
struct PureInstr {
  PureCode code;
  u8 k = 0;
  u32 a = 0;  // global words: the index
  Cell c{}, d{};
};

enum CallKind : u8 { K_NATIVE, K_ACTION, K_FUNCTION, K_ROUTINE };
constexpr u32 MAX_PATH_REFS = 4;

// What a call compiled for a function value needs of its descriptor.
struct CallInfo {
  CallKind kind = K_NATIVE;
  u32 index = 0;          // natives and actions: the entry
  u32 desc = 0;           // the descriptor's node
  u8 args = 0;
  u8 native_refs = 0;
  u8 fill = 0;
  u64 fill_false = 0;
  i32 locals = 0;
  u8 word_index[SHAPE_ARGS] = {};
  u64 accepts[SHAPE_ARGS] = {};
  // A native's call through a path: the refinements it turns on, in the
  // path's order, and where each one's arguments begin (from the base).
  u8 path_refs = 0;
  u8 ref_index[MAX_PATH_REFS] = {};
  u8 ref_at[MAX_PATH_REFS] = {};
  // A function's call through a path: each refinement's flag slot (from the
  // base); its refinements' cells are pushed by O_REFS, not at the call.
  u8 ref_slot[MAX_PATH_REFS] = {};
  bool fill_early = false;
  // A call of the function a word held, with its arguments all evaluated
  // and nothing inlined: when the word holds another function taking as
  // many arguments, all evaluated, that function is called instead (its
  // own descriptor read at the call).
  bool dyn_ok = false;
  u32 path_block = 0;  // a call through a path: the path's block in the unit
};

// The walk of a path through objects to a function (o/f, a/b/c/f) that a
// call was compiled for: the head word, and the values it and each field
// on the way held, the field of path element e (from 1) being slot index[e]
// of the object values[e - 1]. The reference walks it on the arguments
// stack: two cells an element and one a selector, pushed before the call.
struct PathWalk {
  Cell head{};
  u32 length = 0;  // the path's elements, head included
  u32 index[MAX_PATH_WALK] = {};
  Cell values[MAX_PATH_WALK] = {};
  u32 pushes() const { return 3 * length - 1; }
};

struct Unit {
  std::vector<Op> ops;
  std::vector<UBlock> blocks;  // blocks[0]: the unit's own block
  std::vector<CallInfo> calls;
  std::vector<PureExpr> pures;
  std::vector<PureInstr> pcode;
  std::vector<BinExpr> bins;
  std::vector<PathWalk> walks;
  std::vector<FieldPath> fields;
  u32 epoch = 0;     // the code epoch its cells were last found unchanged at
  u32 active = 0;    // activations running it
  u32 misses = 0;    // guards that failed (a word holding another value than compiled for)
  bool retired = false;  // left out of the cache: deleted when no activation runs it
  bool one_pure = false;  // its block is one statement (or none) that can run without the block's frame
  bool library = false;  // library code: its blocks leave the caller's code as the current code
};

// ---- the cache of units ---------------------------------------------------------------

struct Entry {
  Unit* unit = nullptr;
  u16 made = 0;      // units made for the block (changed code makes a new one)
  u8 ran = 0;  // start-up's and the library's blocks: runs by the reference so far
  bool walked = false;  // the block was walked once (by the reference)
  bool never = false;  // the block is left to the reference
};
constexpr u32 MAX_MADE = 8;      // a block whose code keeps changing stays with the reference
constexpr u32 MAX_MISSES = 64;   // failed guards after which a unit is made again
constexpr u32 MAX_CELLS = 100000;  // longer blocks (data run once, mostly) stay with the reference
constexpr u32 MAX_NESTING = 48;  // blocks inlined in blocks (parens, branches)

inline u64 key_of(u32 node, u32 start) { return (u64(node) << 32) | start; }

// The deepest nesting of parens a frameless expression is made of.
constexpr u32 MAX_PURE_DEPTH = 8;

// Moves on whenever a unit is retired: the units ops keep are found again.
extern u32 g_unit_gen;

// The unit leaves the cache (its code changed, or its block was freed).
void retire(Unit* u);
void delete_unit(Unit* u);

inline void release(Unit* u) {
  if (--u->active == 0 && u->retired) delete_unit(u);
}

// The unit's cells, checked after the code epoch moved: true when they are
// unchanged (the unit then takes the new epoch).
bool still_valid(Unit* u);

// The unit for the block: the one in the cache while its code is unchanged,
// else a new one (null: the block is left to the reference).
Unit* unit_for(const Cell* block);

// The collector's callbacks: units of freed blocks leave the cache; nodes
// moved, so every unit goes.
void sweep_units();
void forget_nodes();

// The function an op! value was made from, as a call takes it.
inline Cell op_function(const Cell* op) {
  Cell fn = *op;
  set_type(&fn, Type((op->header >> 16) & 0xFF));
  fn.header &= 0xFF;
  return fn;
}

}  // namespace qel::interp::compiled
