// The error catalogue: categories, then per category its ids in field order
// with their message templates. A template is Qel text: a string, a block of
// strings and get-words (:arg1 :arg2 :arg3 stand for the arguments), or a
// word naming the field whose value is the message.
//
// An id's code is category * 100 + its position in the category (the first
// id of a category has position 0), so the order within a category is fixed:
// scripts and saved errors refer to errors by code. Positions that other
// parts of the system rely on:
//   script    no-value first (code 300)
//   math      zero-divide first (code 400)
//   internal  bad-path not-here no-memory wrong-mem stack-overflow (904)
//   throw     break return throw continue
//   syntax    invalid missing no-header no-rs-header bad-header malconstruct bad-char
//   user      message first
// New ids go at the end of their category's run.
#pragma once

// QEL_ERROR_CATEGORIES(X): X(index, member, word, title)
#define QEL_ERROR_CATEGORIES(X)                      \
  X(0, throw, "throw", "Throw Error")               \
  X(1, note, "note", "Note")                        \
  X(2, syntax, "syntax", "Syntax Error")            \
  X(3, script, "script", "Script Error")            \
  X(4, math, "math", "Math Error")                  \
  X(5, access, "access", "Access Error")            \
  X(6, reserved1, "reserved1", "Reserved1 Error")   \
  X(7, reserved2, "reserved2", "Reserved2 Error")   \
  X(8, user, "user", "User Error")                  \
  X(9, internal, "internal", "Internal Error")

// QEL_ERRORS(X): X(category member, id member, id word, message template)
#define QEL_ERRORS(X)                                                                        \
  X(throw, break, "break", "\"no loop to break\"")                                           \
  X(throw, return, "return", "\"return or exit not in function\"")                           \
  X(throw, throw, "throw", "[\"no catch for throw:\" :arg1]")                                \
  X(throw, continue, "continue", "\"no loop to continue\"")                                  \
  X(throw, while_cond, "while-cond", "\"BREAK/CONTINUE cannot be used in WHILE condition block\"") \
                                                                                             \
  X(syntax, invalid, "invalid", "[:arg1 \"invalid\" :arg2 \"at\" :arg3]")                    \
  X(syntax, missing, "missing", "[:arg1 \"missing\" :arg2 \"at\" :arg3]")                    \
  X(syntax, no_header, "no-header", "[\"script is missing a Qel header:\" :arg1]")           \
  X(syntax, no_rs_header, "no-rs-header", "[\"script is missing a Qel/System header:\" :arg1]") \
  X(syntax, bad_header, "bad-header", "[\"script header is not valid:\" :arg1]")             \
  X(syntax, malconstruct, "malconstruct", "[:arg1 \"invalid construction spec at\" :arg2]")  \
  X(syntax, bad_char, "bad-char", "[:arg1 \"invalid character at\" :arg2]")                  \
                                                                                             \
  X(script, no_value, "no-value", "[:arg1 \"has no value\"]")                                \
  X(script, need_value, "need-value", "[:arg1 \"needs a value\"]")                           \
  X(script, no_return, "no-return", "\"block did not return a value\"")                      \
  X(script, expect_arg, "expect-arg", "[:arg1 \"does not allow\" :arg2 \"for its\" :arg3 \"argument\"]") \
  X(script, invalid_compare, "invalid-compare", "[\"cannot compare\" :arg1 \"with\" :arg2]") \
  X(script, bad_path_type, "bad-path-type", "[\"path\" :arg1 \"is not valid for\" :arg2 \"type\"]") \
  X(script, bad_path_type2, "bad-path-type2", "[:arg1 \"is not valid for\" :arg2 \"type\"]") \
  X(script, invalid_refine_arg, "invalid-refine-arg", "[\"invalid\" :arg1 \"argument:\" :arg2]") \
  X(script, invalid_part, "invalid-part", "[\"invalid /part count:\" :arg1]")                \
  X(script, out_of_range, "out-of-range", "[\"value out of range:\" :arg1]")                 \
  X(script, bad_make_arg, "bad-make-arg", "[\"cannot MAKE\" :arg1 \"from:\" :arg2]")         \
  X(script, not_defined, "not-defined", "[:arg1 \"is not defined in this context\"]")       \
  X(script, invalid_char, "invalid-char", "[\"invalid character:\" :arg1]")                  \
  X(script, too_long, "too-long", "\"Content too long\"")                                    \
  X(script, not_in_context, "not-in-context", "[:arg1 \"is not in the specified context\"]") \
  X(script, invalid_chars, "invalid-chars", "\"contains invalid characters\"")               \
  X(script, bad_to_arg, "bad-to-arg", "[\"cannot MAKE/TO\" :arg1 \"from:\" :arg2]")          \
  X(script, invalid_arg, "invalid-arg", "[\"invalid argument:\" :arg1]")                     \
  X(script, invalid_type, "invalid-type", "[:arg1 \"type is not allowed here\"]")            \
  X(script, invalid_path, "invalid-path", "[\"cannot access\" :arg1 \"in path\" :arg2]")     \
  X(script, bad_path_set, "bad-path-set", "[\"cannot set\" :arg1 \"in path\" :arg2]")        \
  X(script, invalid_path_set, "invalid-path-set", "[\"path\" :arg1 \"cannot be set\"]")      \
  X(script, invalid_path_get, "invalid-path-get", "[\"path\" :arg1 \"cannot be read\"]")     \
  X(script, unset_path, "unset-path", "[:arg1 \"has no value at\" :arg2]")                   \
  X(script, empty_path, "empty-path", "\"cannot evaluate an empty path value\"")             \
  X(script, word_first, "word-first", "[\"path must start with a word:\" :arg1]")            \
  X(script, no_arg, "no-arg", "[:arg1 \"is missing its\" :arg2 \"argument\"]")               \
  X(script, no_op_arg, "no-op-arg", "[:arg1 \"operator is missing an argument\"]")           \
  X(script, no_refine, "no-refine", "[:arg1 \"has no refinement called\" :arg2]")            \
  X(script, bad_refine, "bad-refine", "[\"incompatible or invalid refinement:\" :arg1]")     \
  X(script, dup_refine, "dup-refine", "[\"duplicate refinement usage in:\" :arg1]")          \
  X(script, bad_refines, "bad-refines", "\"incompatible refinements\"")                      \
  X(script, bad_func_def, "bad-func-def", "[\"invalid function definition:\" :arg1]")        \
  X(script, bad_func_arg, "bad-func-arg", "[\"function argument\" :arg1 \"is not valid\"]")  \
  X(script, bad_func_extern, "bad-func-extern", "[\"invalid /extern value\" :arg1]")         \
  X(script, dup_vars, "dup-vars", "[\"duplicate variable specified:\" :arg1]")               \
  X(script, invalid_type_spec, "invalid-type-spec", "[\"invalid type specifier:\" :arg1]")   \
  X(script, bad_op_spec, "bad-op-spec", "\"making an op! requires a function with only 2 arguments\"") \
  X(script, bad_field_set, "bad-field-set", "[\"cannot set\" :arg1 \"field to\" :arg2 \"datatype\"]") \
  X(script, invalid_obj_evt, "invalid-obj-evt", "[\"invalid object event handler:\" :arg1]") \
  X(script, invalid_key_type, "invalid-key-type", "[\"key not allowed of type:\" :arg1]")    \
  X(script, invalid_spec_field, "invalid-spec-field", "[\"invalid\" :arg1 \"field in spec block\"]") \
  X(script, invalid_data, "invalid-data", "[\"data not in correct format:\" :arg1]")         \
  X(script, not_related, "not-related", "[\"incompatible argument for\" :arg1 \"of\" :arg2]") \
  X(script, type_limit, "type-limit", "[:arg1 \"overflow/underflow\"]")                      \
  X(script, cannot_use, "cannot-use", "[\"cannot use\" :arg1 \"on\" :arg2 \"value\"]")       \
  X(script, expect_val, "expect-val", "[\"cannot combine\" :arg1 \"with\" :arg2]")           \
  X(script, not_same_type, "not-same-type", "\"values must be of the same type\"")           \
  X(script, past_end, "past-end", "\"out of range or past end\"")                            \
  X(script, missing_arg, "missing-arg", "\"missing a required argument or refinement\"")     \
  X(script, move_bad, "move-bad", "[\"cannot MOVE elements from\" :arg1 \"to\" :arg2]")      \
  X(script, bad_loop_series, "bad-loop-series", "[\"Loop series changed to invalid value:\" :arg1]") \
  X(script, protected, "protected", "\"protected value or series - cannot modify\"")        \
  X(script, invalid_months, "invalid-months", "\"invalid system/locale/month list\"")        \
  X(script, wrong_denom, "wrong-denom", "[:arg1 \"not same denomination as\" :arg2]")        \
  X(script, bad_denom, "bad-denom", "[\"invalid denomination:\" :arg1]")                     \
  X(script, qb_invalid_record, "qb-invalid-record", "[\"QELBIN - invalid record at index\" :arg1]") \
  X(script, parse_rule, "parse-rule", "[\"PARSE - invalid rule or usage of rule:\" :arg1]")  \
  X(script, parse_end, "parse-end", "[\"PARSE - unexpected end of rule after:\" :arg1]")     \
  X(script, parse_invalid_ref, "parse-invalid-ref", "[\"PARSE - get-word refers to a different series!\" :arg1]") \
  X(script, parse_block, "parse-block", "[\"PARSE - input must be of any-block! type:\" :arg1]") \
  X(script, parse_unsupported, "parse-unsupported", "\"PARSE - matching by datatype not supported for any-string! input\"") \
  X(script, parse_infinite, "parse-infinite", "[\"PARSE - infinite recursion at rule: [\" :arg1 \"]\"]") \
  X(script, parse_stack, "parse-stack", "\"PARSE - stack limit reached\"")                   \
  X(script, parse_keep, "parse-keep", "\"PARSE - KEEP is used without a wrapping COLLECT\"") \
  X(script, parse_into_bad, "parse-into-bad", "\"PARSE - COLLECT INTO/AFTER invalid series! argument\"") \
  X(script, parse_into_type, "parse-into-type", "\"PARSE - COLLECT INTO/AFTER expects a series! of compatible datatype\"") \
  X(script, react_bad_func, "react-bad-func", "\"REACT - /LINK option requires a function! as argument\"") \
  X(script, react_not_enough, "react-not-enough", "\"REACT - reactive functions must accept at least 2 arguments\"") \
  X(script, react_no_match, "react-no-match", "\"REACT - objects block length must match reaction function arg count\"") \
  X(script, react_bad_obj, "react-bad-obj", "\"REACT - target can only contain object values\"") \
  X(script, face_type, "face-type", "[\"VIEW - invalid face type:\" :arg1]")                 \
  X(script, not_window, "not-window", "\"VIEW - expected a window root face\"")              \
  X(script, bad_window, "bad-window", "\"VIEW - a window face cannot be put inside a window\"") \
  X(script, not_linked, "not-linked", "\"VIEW - face not linked to a window\"")              \
  X(script, not_event_type, "not-event-type", "[\"VIEW - not a valid event type:\" :arg1]")  \
  X(script, invalid_facet_type, "invalid-facet-type", "[\"VIEW - invalid facet value:\" :arg1]") \
  X(script, zad_invalid_syntax, "zad-invalid-syntax", "[\"ZAD - invalid syntax at:\" :arg1]") \
  X(script, rtd_invalid_syntax, "rtd-invalid-syntax", "[\"RTD - invalid syntax at:\" :arg1]") \
  X(script, rtd_no_match, "rtd-no-match", "[\"RTD - opening/closing tag not matching for:\" :arg1]") \
  X(script, draw_invalid, "draw-invalid", "[\"DRAW - invalid input at:\" :arg1]") \
  X(script, draw_infinite, "draw-infinite", "[\"DRAW - infinite recursion at:\" :arg1]")     \
  X(script, view_unavailable, "view-unavailable", "[\"VIEW -\" :arg1 \"is not available:\" :arg2]") \
                                                                                             \
  X(math, zero_divide, "zero-divide", "\"attempt to divide by zero\"")                       \
  X(math, overflow, "overflow", "\"math or number overflow\"")                               \
                                                                                             \
  X(access, no_port_action, "no-port-action", "\"port action not supported\"")               \
  X(access, invalid_utf8, "invalid-utf8", "[\"invalid UTF-8 encoding:\" :arg1]")             \
  X(access, cannot_open, "cannot-open", "[\"cannot open:\" :arg1]")                          \
  X(access, no_create, "no-create", "[\"cannot create:\" :arg1]")                            \
  X(access, no_connect, "no-connect", "[\"cannot connect:\" :arg1 \"reason:\" :arg2]")                         \
  X(access, no_codec, "no-codec", "[\"cannot decode or encode (no codec):\" :arg1]")         \
  X(access, bad_media, "bad-media", "\"bad media data (corrupt image, sound, video)\"")      \
  X(access, no_scheme, "no-scheme", "[\"missing port scheme:\" :arg1]")                      \
  X(access, unknown_scheme, "unknown-scheme", "[\"scheme is unknown:\" :arg1]")              \
  X(access, invalid_actor, "invalid-actor", "\"invalid port actor (must be handle or object)\"") \
  X(access, invalid_port, "invalid-port", "\"invalid port object (invalid field values)\"")  \
                                                                                             \
  X(user, message, "message", "arg1")                                                        \
                                                                                             \
  X(internal, bad_path, "bad-path", "[\"bad path:\" :arg1]")                                 \
  X(internal, not_here, "not-here", "[:arg1 \"not supported on your system\"]")              \
  X(internal, no_memory, "no-memory", "\"not enough memory\"")                               \
  X(internal, wrong_mem, "wrong-mem", "\"failed to release memory\"")                        \
  X(internal, stack_overflow, "stack-overflow", "\"stack overflow\"")                        \
  X(internal, too_deep, "too-deep", "\"block or paren series is too deep to display\"")      \
  X(internal, no_cycle, "no-cycle", "\"circular reference not allowed\"")                    \
  X(internal, not_done, "not-done", "\"reserved for future use (or not yet implemented)\"")  \
  X(internal, invalid_error, "invalid-error", "[\"invalid error object field value:\" :arg1]") \
  X(internal, qel_system, "qel-system", "\"contains Qel/System code which requires compilation\"") \
  X(internal, routines, "routines", "\"routines require compilation, from OS shell: `qel -r <script.qel>`\"") \
  X(internal, deprecated, "deprecated", "[:arg1 \"is DEPRECATED, please use\" :arg2 \"instead\"]")
