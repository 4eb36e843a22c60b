// The typesets of the language, each a union of datatypes and earlier
// typesets, in the order start-up defines them as global words. The
// evaluator reads the same list to know, without any word a script may
// change, the types a native's or action's own spec lets through.
#pragma once

// X(name-text, members-text: datatype and typeset names, space-separated)
#define QEL_TYPESETS(X)                                                                  \
  X("internal!", "unset!")                                                             \
  X("external!", "event!")                                                             \
  X("number!", "integer! float! percent!")                                             \
  X("planar!", "pair! point2D!")                                                       \
  X("any-point!", "point2D! point3D!")                                                 \
  X("scalar!", "number! any-point! money! char! pair! tuple! time! date!")             \
  X("any-word!", "word! set-word! lit-word! get-word!")                                \
  X("all-word!", "any-word! refinement! issue!")                                       \
  X("any-list!", "block! paren! hash!")                                                \
  X("any-path!", "path! lit-path! set-path! get-path!")                                \
  X("any-block!", "any-path! any-list!")                                               \
  X("any-function!", "native! action! op! function! routine!")                         \
  X("any-object!", "object! error! port!")                                             \
  X("any-string!", "string! file! url! tag! email! ref!")                              \
  X("series!", "binary! image! vector! any-block! any-string!")                        \
  X("immediate!", "scalar! all-word! none! logic! datatype! typeset! handle! date!")   \
  X("default!", "series! immediate! any-object! external! any-function! map! bitset!") \
  X("any-type!", "default! internal!")
