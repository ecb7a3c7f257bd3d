#include "types/optional_reads.h"

#include <algorithm>

namespace verdane::types {

std::vector<std::string> optional_fields_read(const IntentSchema& intent, const Expr& expr) {
  std::vector<std::string> names;
  const bool any_optional = std::any_of(intent.fields.begin(), intent.fields.end(),
                                        [](const auto& field) { return field.second.optional; });
  if (!any_optional) return names;
  std::vector<const Expr*> pending{&expr};
  while (!pending.empty()) {
    const Expr* e = pending.back();
    pending.pop_back();
    if (e == nullptr) continue;
    if (const auto* field = std::get_if<IntentField>(&e->node)) {
      const auto it = intent.fields.find(field->name);
      if (it != intent.fields.end() && it->second.optional) names.push_back(field->name);
    } else if (const Binary* b = e->binary()) {
      pending.push_back(&b->right());
      pending.push_back(&b->left());
    } else if (const auto* n = std::get_if<Not>(&e->node)) {
      pending.push_back(n->operand.get());
    } else if (const auto* a = std::get_if<And>(&e->node)) {
      for (const Expr& operand : a->operands) pending.push_back(&operand);
    } else if (const auto* o = std::get_if<Or>(&e->node)) {
      for (const Expr& operand : o->operands) pending.push_back(&operand);
    }
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

}  // namespace verdane::types
