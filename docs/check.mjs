// Validates protocol.yaml with the AsyncAPI project's own parser: the document's structure,
// its references, and its examples against their payload schemas. Exit status 1 on any error
// or warning, so that CI notices a document that drifted.
import { Parser, fromFile } from '@asyncapi/parser';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const file = process.argv[2] ??
  path.join(path.dirname(fileURLToPath(import.meta.url)), 'protocol.yaml');
const severities = ['error', 'warning', 'info', 'hint'];
const { document, diagnostics } = await fromFile(new Parser(), file).parse();
let failed = document === undefined;
for (const d of diagnostics) {
  const where = d.path.length ? d.path.join('.') : '(document)';
  console.log(`${file}: ${severities[d.severity]}: ${where}: ${d.message} [${d.code}]`);
  failed ||= d.severity <= 1;
}
if (failed) {
  process.exit(1);
}
console.log(`${file}: valid AsyncAPI ${document.version()}, ` +
  `${document.allMessages().length} messages`);
