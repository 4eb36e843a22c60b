# The library's source files, in the order start-up runs them. Included by
# the main build and by the fuzz project, so both embed the same library.
set(QEL_LIBRARY_FILES
  boot.qel
  colors.qel
  helpers.qel
  series.qel
  math.qel
  files.qel
  load.qel
  thru.qel
  args.qel
  system.qel
  url.qel
  settings.qel
  json.qel
  csv.qel
  reactivity.qel
  help.qel
  preprocessor.qel
  debug.qel
  tools.qel
  console/engine.qel
  console/complete.qel
  console/highlight.qel
)
