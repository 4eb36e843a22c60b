// email!: an address written name@host. A string cell with its own type
// byte. It molds as its plain characters and has two path fields: `user`
// (the text before the first @, the whole text without one) and `host` (the
// text after it, empty without one). Reading a field answers a new string!;
// setting one replaces that part of the address in place.
#pragma once

namespace qel::email {

void init();  // registers email! (after string!)

}  // namespace qel::email
