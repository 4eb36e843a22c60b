// Registration of every datatype module, in the fixed order of start-up.
// A parent is always registered before the types that inherit from it.
#include "datatypes/binary.hpp"
#include "datatypes/image.hpp"
#include "datatypes/bitset.hpp"
#include "datatypes/block.hpp"
#include "datatypes/char.hpp"
#include "datatypes/context.hpp"
#include "datatypes/date.hpp"
#include "datatypes/email.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/float.hpp"
#include "datatypes/function.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/hash_block.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/issue.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/map.hpp"
#include "datatypes/money.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/path.hpp"
#include "datatypes/percent.hpp"
#include "datatypes/point.hpp"
#include "datatypes/port.hpp"
#include "datatypes/ref.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tag.hpp"
#include "datatypes/time.hpp"
#include "datatypes/triple.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/vector.hpp"
#include "datatypes/word.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"

namespace qel::types {

void register_all() {
  // Every id gets its name first, so that types whose module registers later
  // (event!) or not at all can still be named in messages.
#define QEL_X(id, text, c, p)                          \
  if (!names[id].name) {                               \
    names[id].name = text;                             \
    names[id].length = u32(sizeof(text) - 2);          \
  }
  QEL_DATATYPES(QEL_X)
#undef QEL_X
  datatype_type::init();
  unset::init();
  none::init();
  logic::init();
  series::init();  // series! (before block! and string!, which inherit from it)
  block::init();   // block!
  string::register_type();  // string! (after series!, its parent)
  integer::init();
  symbol::init();
  context::init();
  word::init();  // word!, lit-word!, set-word!, get-word!, refinement!
  char_::init();  // char! (after integer!, its parent)
  native::init();
  action::init();    // action! (after native!, its parent)
  op::init();        // op! (after native!, its parent)
  path::init();      // path!, lit-path!, set-path!, get-path! (after block!)
  function::init();  // function! (after context!, its parent)
  routine::init();   // routine! (after function!, its parent)
  paren::init();     // paren! (after block!, its parent)
  issue::init();  // issue! (after word!, whose form it takes)
  url::init();    // url! (after string!, whose actions it takes)
  file::init();   // file! (after url!)
  object::init();
  bitset::init();
  triple::init();
  float_::init();
  typeset::init();
  error::init();  // error! (after object!, whose reflect, copy and select it takes)
  time::init();  // time! (after float!, its parent)
  percent::init();  // percent! (after float!, its parent)
  pair::init();
  tuple::init();
  date::init();
  money::init();
  point::init();  // point2D! and point3D!
  binary::init();  // binary! (after string!, its parent)
  hash_block::init();  // hash! (after block!, its parent)
  map::init();
  tag::init();    // tag!, email!, ref! (after string!)
  email::init();
  ref::init();
  handle::init();  // handle! (after integer!)
  vector::init();  // vector! (after string!)
  port::init();    // port! (after object!)
  image::init();   // image! (after series!, its parent)
}

}  // namespace qel::types
