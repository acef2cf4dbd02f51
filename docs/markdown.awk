# Doxygen input filter for README.md: gives each heading the anchor that
# markdown renderers derive from its text ("## Using it" -> #using-it), so
# that the README's links to its own sections resolve in the reference too.
/^```/ { fenced = !fenced }
!fenced && /^#+ / {
  slug = tolower($0)
  sub(/^#+ /, "", slug)
  gsub(/[^a-z0-9 _-]/, "", slug)
  gsub(/ /, "-", slug)
  print $0 " {#" slug "}"
  next
}
{ print }
