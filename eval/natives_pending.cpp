// Natives whose families are not built yet raise internal not-done; every
// native has its family now.
#include "eval/natives.hpp"
