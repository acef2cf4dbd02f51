# Doxygen input filter: the public headers' plain // comments are the
# reference documentation, so they are read as documentation comments here
# instead of being written a second time in another comment style.
#   - the opening comment block of a header documents the file;
#   - a comment on lines of its own documents the declarations below it, up to
#     the next blank line: all of them when there are several (a member group);
#   - a comment after a member or enumerator on the same line documents that
#     member (and so do the comment-only lines aligned under it);
#   - comments in function bodies and after closing braces stay comments.
# A "<" in the text is meant literally ("<path>", "shared_ptr<T>"), never as
# an HTML tag. Doxygen takes text in double quotes as it stands, so only a
# "<" outside them is escaped.
function Escape(text,    out, i, c, quoted) {
  out = ""; quoted = 0
  for (i = 1; i <= length(text); i++) {
    c = substr(text, i, 1)
    if (c == "\"") quoted = !quoted
    out = out ((c == "<" && !quoted) ? "\\<" : c)
  }
  return out
}
function indentOf(text) { match(text, /^[ \t]*/); return RLENGTH }
function isOwnLineComment(text) { return text ~ /^[ \t]*\/\/( |$)/ && text !~ /^[ \t]*\/\/\// }

# Converts one line outside the file's opening block; sets `declaration` when
# the line ends a declaration at the level of the current block.
function convert(text,    code, inBody) {
  declaration = 0
  inBody = depth > 0
  code = text; sub(/\/\/.*/, "", code)
  if (depth > 0 || code ~ /(\)|const|override|noexcept|final)[ \t]*(:[^{]*)?\{/) {
    depth += gsub(/\{/, "{", code) - gsub(/\}/, "}", code)
    if (depth < 0) depth = 0
  }
  if (inBody) {
    # The brace that closes a body ends that declaration.
    if (depth == 0 && code ~ /\}[ \t]*;?[ \t]*$/ && indentOf(text) == blockIndent) declaration = 1
    trailingColumn = -1
    return text
  }
  if (trailingColumn >= 0 && text ~ /^[ \t]*\/\/ / && indentOf(text) >= trailingColumn) {
    sub(/\/\/ /, "///< ", text); return Escape(text)
  }
  trailingColumn = -1
  if (isOwnLineComment(text)) { sub(/\/\//, "///", text); return Escape(text) }
  if (depth == 0 && code ~ /(;|\})[ \t]*$/ && indentOf(text) == blockIndent) declaration = 1
  if (match(text, /[;,][ \t]+\/\/ /)) {
    trailingColumn = index(text, "// ") - 1
    sub(/[ \t]+\/\/ /, "  ///< ", text)
    text = substr(text, 1, index(text, "///<") + 3) Escape(substr(text, index(text, "///<") + 4))
  }
  return text
}

function flush(    i) {
  if (count == 0) return
  if (declarations > 1) print blockIndentText "///@{"
  for (i = 1; i <= count; i++) print buffered[i]
  if (declarations > 1) print blockIndentText "///@}"
  count = 0; declarations = 0; inBlock = 0
}

BEGIN { atTop = 1; trailingColumn = -1; depth = 0; count = 0; inBlock = 0 }
{
  line = $0
  if (atTop) {
    if (line ~ /^\/\/( |$)/) {
      if (!started) { print "/// @file"; started = 1 }
      sub(/^\/\//, "///", line); print Escape(line); next
    }
    atTop = 0
  }
  if (inBlock) {
    ends = line ~ /^[ \t]*$/ || line ~ /^[ \t]*(public|private|protected):/ || \
           (depth == 0 && indentOf(line) < blockIndent) || \
           (depth == 0 && codeSeen && isOwnLineComment(line) && trailingColumn < 0)
    if (!ends) {
      buffered[++count] = convert(line)
      if (declaration) ++declarations
      if (buffered[count] !~ /^[ \t]*\/\/\//) codeSeen = 1
      next
    }
    flush()
  }
  if (depth == 0 && isOwnLineComment(line)) {
    inBlock = 1; codeSeen = 0; count = 0; declarations = 0
    blockIndent = indentOf(line); blockIndentText = substr(line, 1, blockIndent)
    buffered[++count] = convert(line)
    next
  }
  print convert(line)
}
END { flush() }
