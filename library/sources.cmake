# The library's source files, in the order start-up runs them. The last,
# start.qel, takes what comes from the process: it runs at every start, also
# after the boot image, and is encoded apart from the boot data. Included by
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
  view/utils.qel
  view/rich_text.qel
  view/faces.qel
  view/view.qel
  view/events.qel
  view/show.qel
  view/focus.qel
  view/layout.qel
  view/styles.qel
  view/rules.qel
  help.qel
  preprocessor.qel
  debug.qel
  tools.qel
  console/engine.qel
  console/complete.qel
  console/highlight.qel
  console/text.qel
  console/terminal.qel
  console/terminal_paint.qel
  console/terminal_input.qel
  console/app.qel
  start.qel
)
