# Writes OUTPUT, a C++ source that holds the file INPUT as the string
# admin::kDashboardPage.
file(READ ${INPUT} page)
file(WRITE ${OUTPUT} "// Made by the build from dashboard.html; edit that instead.\n"
  "namespace admin {\nextern const char kDashboardPage[];\n"
  "const char kDashboardPage[] = R\"page(${page})page\";\n}  // namespace admin\n")
