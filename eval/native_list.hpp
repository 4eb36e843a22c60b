// The natives: id (their position in this list, fixed), C++ member, word and
// spec (Qel source). Start-up makes a native! value of each from its spec and
// id and sets its word.
#pragma once

#define QEL_NATIVES(X)                                                                              \
  X(1, if_, "if", "[\"If conditional expression is truthy, evaluate block; else return NONE\" cond [any-type!] then-blk [block!]]") \
  X(2, unless, "unless", "[\"If conditional expression is falsy, evaluate block; else return NONE\" cond [any-type!] then-blk [block!]]") \
  X(3, either, "either", "[\"If conditional expression is truthy, evaluate the first branch; else evaluate the alternative\" cond [any-type!] true-blk [block!] false-blk [block!]]") \
  X(4, any, "any", "[\"Evaluates, returning at the first that is truthy\" conds [block!]]") \
  X(5, all, "all", "[\"Evaluates, returning at the first that is not truthy\" conds [block!]]") \
  X(6, while_, "while", "[\"Evaluates body as long as condition block evaluates to truthy value\" cond [block!] body [block!]]") \
  X(7, until, "until", "[\"Evaluates body until it is truthy\" body [block!]]") \
  X(8, loop, "loop", "[\"Evaluates body a number of times\" count [integer! float!] body [block!]]") \
  X(9, repeat, "repeat", "[\"Evaluates body a number of times, tracking iteration count\" 'word [word!] value [integer! float!] body [block!]]") \
  X(10, forever, "forever", "[\"Evaluates body repeatedly forever\" body [block!]]") \
  X(11, foreach, "foreach", "[\"Evaluates body for each value in a series\" 'word [block! word!] series [series! map!] body [block!]]") \
  X(12, forall, "forall", "[\"Evaluates body for all values in a series\" 'word [word!] body [block!]]") \
  X(13, remove_each, "remove-each", "[\"Removes values for each block that returns truthy value\" 'word [block! word!] data [series!] body [block!]]") \
  X(14, func, "func", "[\"Defines a function with a given spec and body\" spec [block!] body [block!]]") \
  X(15, function, "function", "[\"Defines a function, making all set-words found in body, local\" spec [block!] body [block!] /extern \"Exclude words that follow this refinement\" words [block!]]") \
  X(16, does, "does", "[\"Defines a function with no arguments or local variables\" body [block!]]") \
  X(17, has, "has", "[\"Defines a function with local variables, but no arguments\" vars [block!] body [block!]]") \
  X(18, switch_, "switch", "[\"Evaluates the first block following the value found in cases\" value [any-type!] cases [block!] /default \"Specify a default block, if value is not found in cases\" case [block!]]") \
  X(19, case_, "case", "[\"Evaluates the block following the first truthy condition\" cases [block!] /all \"Test all conditions, evaluating the block following each truthy condition\"]") \
  X(20, do_, "do", "[\"Evaluates a value, returning the last evaluation result\" value [any-type!] /expand \"Expand directives before evaluation\" /args \"If value is a script, this will set its system/script/args\" arg /next \"Do next expression only, return it, update block word\" position [word!] \"Word updated with new block position\" /trace callback [function! [event [word!] code [any-block! none!] offset [integer!] value [any-type!] ref [any-type!] frame [pair!]]]]") \
  X(21, get, "get", "[\"Returns the value a word refers to\" word [any-word! refinement! path! object!] /any \"If word has no value, return UNSET rather than causing an error\" /case \"Use case-sensitive comparison (path only)\"]") \
  X(22, set, "set", "[\"Sets the value(s) one or more words refer to\" word [any-word! block! object! path!] \"Word, object, map path or block of words to set\" value [any-type!] \"Value or block of values to assign to words\" /any \"Allow UNSET as a value rather than causing an error\" /case \"Use case-sensitive comparison (path only)\" /only \"Block or object value argument is set as a single value\" /some \"None values in a block or object value argument, are not set\"]") \
  X(23, print, "print", "[\"Outputs a value followed by a newline\" value [any-type!]]") \
  X(24, prin, "prin", "[\"Outputs a value\" value [any-type!]]") \
  X(25, equal_q, "equal?", "[\"Returns TRUE if two values are equal\" value1 [any-type!] value2 [any-type!]]") \
  X(26, not_equal_q, "not-equal?", "[\"Returns TRUE if two values are not equal\" value1 [any-type!] value2 [any-type!]]") \
  X(27, strict_equal_q, "strict-equal?", "[\"Returns TRUE if two values are equal, and also the same datatype\" value1 [any-type!] value2 [any-type!]]") \
  X(28, lesser_q, "lesser?", "[\"Returns TRUE if the first value is less than the second\" value1 [any-type!] value2 [any-type!]]") \
  X(29, greater_q, "greater?", "[\"Returns TRUE if the first value is greater than the second\" value1 [any-type!] value2 [any-type!]]") \
  X(30, lesser_or_equal_q, "lesser-or-equal?", "[\"Returns TRUE if the first value is less than or equal to the second\" value1 [any-type!] value2 [any-type!]]") \
  X(31, greater_or_equal_q, "greater-or-equal?", "[\"Returns TRUE if the first value is greater than or equal to the second\" value1 [any-type!] value2 [any-type!]]") \
  X(32, same_q, "same?", "[\"Returns TRUE if two values have the same identity\" value1 [any-type!] value2 [any-type!]]") \
  X(33, not_, "not", "[\"Returns the logical complement of a value (truthy or falsy)\" value [any-type!]]") \
  X(34, type_q, "type?", "[\"Returns the datatype of a value\" value [any-type!] /word \"Return a word value, rather than a datatype value\"]") \
  X(35, reduce, "reduce", "[\"Returns a copy of a block, evaluating all expressions\" value [any-type!] /into \"Put results in out block, instead of creating a new block\" out [any-block!] \"Target block for results, when /into is used\"]") \
  X(36, compose, "compose", "[\"Returns a copy of a block, evaluating only parens\" value [block!] /deep \"Compose nested blocks\" /only \"Compose nested blocks as blocks containing their values\" /into \"Put results in out block, instead of creating a new block\" out [any-block!] \"Target block for results, when /into is used\"]") \
  X(37, stats, "stats", "[\"Returns interpreter statistics\" /show \"TBD:\" /info \"Output formatted results\" return: [integer! block!]]") \
  X(38, bind, "bind", "[\"Bind words to a context; returns rebound words\" word [block! any-word!] context [any-word! any-object! function!] /copy \"Deep copy blocks before binding\" return: [block! any-word!]]") \
  X(39, in, "in", "[\"Returns the given word bound to the object's context\" object [any-object! function! routine!] word [any-word! refinement!]]") \
  X(40, parse, "parse", "[\"Process a series using dialected grammar rules\" input [binary! any-block! any-string!] rules [block!] /case \"Uses case-sensitive comparison\" /part \"Limit to a length or position\" length [number! series!] /trace callback [function! [event [word!] match? [logic!] rule [block!] input [series!] stack [block!] return: [logic!]]] return: [logic! block!]]") \
  X(41, union_, "union", "[\"Returns the union of two data sets\" set1 [block! hash! string! bitset! typeset! map!] set2 [block! hash! string! bitset! typeset! map!] /case \"Use case-sensitive comparison\" /skip \"Treat the series as fixed size records\" size [integer!] return: [block! hash! string! bitset! typeset! map!]]") \
  X(42, intersect, "intersect", "[\"Returns the intersection of two data sets\" set1 [block! hash! string! bitset! typeset! map!] set2 [block! hash! string! bitset! typeset! map!] /case \"Use case-sensitive comparison\" /skip \"Treat the series as fixed size records\" size [integer!] return: [block! hash! string! bitset! typeset! map!]]") \
  X(43, unique, "unique", "[\"Returns the data set with duplicates removed\" set [block! hash! string!] /case \"Use case-sensitive comparison\" /skip \"Treat the series as fixed size records\" size [integer!] return: [block! hash! string!]]") \
  X(44, difference, "difference", "[\"Returns the special difference of two data sets\" set1 [block! hash! string! bitset! typeset! map! date!] set2 [block! hash! string! bitset! typeset! map! date!] /case \"Use case-sensitive comparison\" /skip \"Treat the series as fixed size records\" size [integer!] return: [block! hash! string! bitset! typeset! map! time!]]") \
  X(45, exclude, "exclude", "[\"Returns the first data set less the second data set\" set1 [block! hash! string! bitset! typeset! map!] set2 [block! hash! string! bitset! typeset! map!] /case \"Use case-sensitive comparison\" /skip \"Treat the series as fixed size records\" size [integer!] return: [block! hash! string! bitset! typeset! map!]]") \
  X(46, complement_q, "complement?", "[\"Returns TRUE if the bitset is complemented\" bits [bitset!]]") \
  X(47, dehex, "dehex", "[\"Converts URL-style hex encoded (%xx) strings\" value [any-string!]]") \
  X(48, enhex, "enhex", "[\"Encode URL-style hex encoded (%xx) strings\" value [any-string!]]") \
  X(49, negative_q, "negative?", "[\"Returns TRUE if the number is negative\" number [number! money! time!]]") \
  X(50, positive_q, "positive?", "[\"Returns TRUE if the number is positive\" number [number! money! time!]]") \
  X(51, max, "max", "[\"Returns the greater of the two values\" value1 [scalar! series!] value2 [scalar! series!]]") \
  X(52, min, "min", "[\"Returns the lesser of the two values\" value1 [scalar! series!] value2 [scalar! series!]]") \
  X(53, shift, "shift", "[\"Perform a bit shift operation. Right shift (decreasing) by default\" data [integer!] bits [integer!] /left \"Shift bits to the left (increasing)\" /logical \"Use logical shift (unsigned, fill with zero)\" return: [integer!]]") \
  X(54, to_hex, "to-hex", "[\"Converts numeric value to a hex issue! datatype (with leading # and 0's)\" value [integer!] /size \"Specify number of hex digits in result\" length [integer!] return: [issue!]]") \
  X(55, sine, "sine", "[\"Returns the trigonometric sine\" angle [number!] /radians \"Angle is specified in radians\" return: [float!]]") \
  X(56, cosine, "cosine", "[\"Returns the trigonometric cosine\" angle [number!] /radians \"Angle is specified in radians\" return: [float!]]") \
  X(57, tangent, "tangent", "[\"Returns the trigonometric tangent\" angle [number!] /radians \"Angle is specified in radians\" return: [float!]]") \
  X(58, arcsine, "arcsine", "[\"Returns the trigonometric arcsine (in degrees by default)\" sine [number!] /radians \"Angle is returned in radians\" return: [float!]]") \
  X(59, arccosine, "arccosine", "[\"Returns the trigonometric arccosine (in degrees by default)\" cosine [number!] /radians \"Angle is returned in radians\" return: [float!]]") \
  X(60, arctangent, "arctangent", "[\"Returns the trigonometric arctangent (in degrees by default)\" tangent [number!] /radians \"Angle is returned in radians\" return: [float!]]") \
  X(61, arctangent2, "arctangent2", "[\"Returns the smallest angle between the vectors (1,0) and (x,y) in degrees by default\" y [number!] x [number!] /radians \"Angle is returned in radians\" return: [float!]]") \
  X(62, nan_q, "NaN?", "[\"Returns TRUE if the number is Not-a-Number\" value [number!] return: [logic!]]") \
  X(63, log_2, "log-2", "[\"Return the base-2 logarithm\" value [number!] return: [float!]]") \
  X(64, log_10, "log-10", "[\"Returns the base-10 logarithm\" value [number!] return: [float!]]") \
  X(65, log_e, "log-e", "[\"Returns the natural (base-E) logarithm of the given value\" value [number!] return: [float!]]") \
  X(66, exp, "exp", "[\"Raises E (the base of natural logarithm) to the power specified\" value [number!] return: [float!]]") \
  X(67, square_root, "square-root", "[\"Returns the square root of a number\" value [number!] return: [float!]]") \
  X(68, construct, "construct", "[\"Makes a new object from an unevaluated spec; standard logic words are evaluated\" block [block!] /with \"Use a prototype object\" object [object!] \"Prototype object\" /only \"Don't evaluate standard logic words\"]") \
  X(69, value_q, "value?", "[\"Returns TRUE if the word has a value\" value return: [logic!]]") \
  X(70, try_, "try", "[\"Tries to DO a block and returns its value or an error\" block [block!] /all \"Catch also BREAK, CONTINUE, RETURN, EXIT and THROW exceptions\" /keep \"Capture and save the call stack in the error object\"]") \
  X(71, uppercase, "uppercase", "[\"Converts string of characters to uppercase\" string [any-string! char!] \"Value to convert (modified)\" /part \"Limits to a given length or position\" limit [number! any-string!] return: [any-string! char!]]") \
  X(72, lowercase, "lowercase", "[\"Converts string of characters to lowercase\" string [any-string! char!] \"Value to convert (modified)\" /part \"Limits to a given length or position\" limit [number! any-string!] return: [any-string! char!]]") \
  X(73, as_pair, "as-pair", "[\"Combine X and Y values into a pair\" x [integer! float!] y [integer! float!]]") \
  X(74, as_point2d, "as-point2D", "[\"Combine X and Y values into a 2D point\" x [integer! float!] y [integer! float!]]") \
  X(75, as_point3d, "as-point3D", "[\"Combine X, Y and Z values into a 3D point\" x [integer! float!] y [integer! float!] z [integer! float!]]") \
  X(76, as_money, "as-money", "[\"Combine currency code and amount into a monetary value\" currency [word!] amount [integer! float!] return: [money!]]") \
  X(77, break_, "break", "[\"Breaks out of a loop, while, until, repeat, foreach, etc\" /return \"Forces the loop function to return a value\" value [any-type!]]") \
  X(78, continue_, "continue", "[\"Throws control back to top of loop\"]") \
  X(79, exit, "exit", "[\"Exits a function, returning no value\"]") \
  X(80, return_, "return", "[\"Returns a value from a function\" value [any-type!]]") \
  X(81, throw_, "throw", "[\"Throws control back to a previous catch\" value [any-type!] \"Value returned from catch\" /name \"Throws to a named catch\" word [word!]]") \
  X(82, catch_, "catch", "[\"Catches a throw from a block and returns its value\" block [block!] \"Block to evaluate\" /name \"Catches a named throw\" word [word! block!] \"One or more names\"]") \
  X(83, extend, "extend", "[\"Extend an object or map value with list of key and value pairs\" obj [object! map!] spec [block! hash! map!] /case \"Use case-sensitive comparison\"]") \
  X(84, debase, "debase", "[\"Decodes binary-coded string (BASE-64 default) to binary value\" value [string!] \"The string to decode\" /base \"Binary base to use\" base-value [integer!] \"The base to convert from: 64, 58, 16, or 2\"]") \
  X(85, to_local_file, "to-local-file", "[\"Converts a Qel file path to the local system file path\" path [file! string!] /full \"Prepends current dir for full path (for relative paths only)\" return: [string!]]") \
  X(86, wait, "wait", "[\"Waits for a duration in seconds or specified time\" value [number! time! block! none!] /all \"Returns all events in a block\"]") \
  X(87, checksum, "checksum", "[\"Computes a checksum, CRC, hash, or HMAC\" data [binary! string! file!] method [word!] \"MD5 SHA1 SHA256 SHA384 SHA512 CRC32 TCP ADLER32 hash\" /with \"Extra value for HMAC key or hash table size; not compatible with TCP/CRC32/ADLER32 methods\" spec [any-string! binary! integer!] \"String or binary for MD5/SHA* HMAC key, integer for hash table size\" return: [integer! binary!]]") \
  X(88, unset, "unset", "[\"Unsets the value of a word in its current context\" word [word! block!] \"Word or block of words\"]") \
  X(89, new_line, "new-line", "[\"Sets or clears the new-line marker within a list series\" position [any-list!] \"Position to change marker (modified)\" value [logic!] \"Set TRUE for newline\" /all \"Set/clear marker to end of series\" /skip \"Set/clear marker periodically to the end of the series\" size [integer!] return: [any-list!]]") \
  X(90, new_line_q, "new-line?", "[\"Returns the state of the new-line marker within a list series\" position [any-list!] \"Position to change marker\" return: [logic!]]") \
  X(91, enbase, "enbase", "[\"Encodes a string into a binary-coded string (BASE-64 default)\" value [binary! string!] \"If string, will be UTF8 encoded\" /base \"Binary base to use\" base-value [integer!] \"The base to convert from: 64, 58, 16, or 2\"]") \
  X(92, context_q, "context?", "[\"Returns the context to which a word is bound\" word [any-word!] \"Word to check\" return: [object! function! none!]]") \
  X(93, set_env, "set-env", "[\"Sets the value of an operating system environment variable (for current process)\" var [any-string! any-word!] \"Variable to set\" value [string! none!] \"Value to set, or NONE to unset it\"]") \
  X(94, get_env, "get-env", "[\"Returns the value of an OS environment variable (for current process)\" var [any-string! any-word!] \"Variable to get\" return: [string! none!]]") \
  X(95, list_env, "list-env", "[\"Returns a map of OS environment variables (for current process)\" return: [map!]]") \
  X(96, now, "now", "[\"Returns date and time\" /year \"Returns year only\" /month \"Returns month only\" /day \"Returns day of the month only\" /time \"Returns time only\" /zone \"Returns time zone offset from UCT (GMT) only\" /date \"Returns date only\" /weekday \"Returns day of the week as integer (Monday is day 1)\" /yearday \"Returns day of the year (Julian)\" /precise \"High precision time\" /utc \"Universal time (no zone)\" return: [date! time! integer!]]") \
  X(97, sign_q, "sign?", "[\"Returns sign of N as 1, 0, or -1 (to use as a multiplier)\" number [number! money! time!]]") \
  X(98, as, "as", "[\"Coerce a series into a compatible datatype without copying it\" type [datatype! block! paren! path! set-path! get-path! lit-path! string! file! url! tag! email! ref!] \"The datatype or example value\" spec [block! paren! path! set-path! get-path! lit-path! string! file! url! tag! email! ref!] \"The series to coerce\"]") \
  X(99, call, "call", "[\"Executes a shell command to run another process\" cmd [string! file!] \"A shell command or an executable file\" /wait \"Runs command and waits for exit\" /show \"Force the display of system's shell window\" /console \"Runs command with I/O redirected to console\" /shell \"Forces command to be run from shell\" /input in [string! file! binary!] \"Redirects in to stdin\" /output out [string! file! binary!] \"Redirects stdout to out\" /error err [string! file! binary!] \"Redirects stderr to err\" return: [integer!] \"0 if success, -1 if error, or a process ID\"]") \
  X(100, zero_q, "zero?", "[\"Returns TRUE if the value is zero\" value [any-type!]]") \
  X(101, size_q, "size?", "[\"Returns the size of a file content\" file [file!] return: [integer! none!]]") \
  X(102, browse, "browse", "[\"Open web browser to a URL or file mananger to a local file\" url [url! file!]]") \
  X(103, compress, "compress", "[\"Compresses data\" data [any-string! binary!] method [word!] \"zlib deflate gzip\" return: [binary!]]") \
  X(104, decompress, "decompress", "[\"Decompresses data\" data [binary!] method [word!] \"zlib deflate gzip\" /size \"Specify an uncompressed data size (ignored for GZIP)\" sz [integer!] \"Uncompressed data size; must not be negative\" return: [binary!]]") \
  X(105, recycle, "recycle", "[\"Recycles unused memory and returns memory amount still in use\" /on \"Turns on garbage collector; returns nothing\" /off \"Turns off garbage collector; returns nothing\" return: [integer! unset!]]") \
  X(106, transcode, "transcode", "[\"Translates UTF-8 binary source to values\" src [binary! string!] /next \"Translate next complete value\" /one \"Translate next complete value, returns the value only\" /prescan \"Prescans only, do not load values\" /scan \"Scans only, do not load values\" /part \"Translates only part of the input buffer\" length [integer! binary! string!] \"Length in bytes or tail position\" /into \"Optionally provides an output block\" dst [block!] /trace callback [function! [event [word!] input [binary! string!] type [word! datatype!] line [integer!] token return: [logic!]]] return: [block!]]") \
  X(107, apply, "apply", "[\"Apply a function to a reduced block of arguments\" func [word! path! any-function!] \"Function to apply, with eventual refinements\" args [block!] \"Block of args, refinements are inlined\" /all \"Provides a value for every argument and refinement\" /safer \"Forces evaluation of all arguments\"]")
