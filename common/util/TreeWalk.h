// Walks a device tree given as a parent -> children index.
#pragma once
#include <set>
#include <string>
#include <vector>

// Every node below the node keyed `root`, depth first, each once: a loop in
// a damaged tree is walked once. `childrenOf(key)` gives a node's children
// (pointers), `keyOf(node)` the key they are indexed by.
template <class Node, class ChildrenOf, class KeyOf>
std::vector<const Node*> CollectDescendants(const std::string& root, const ChildrenOf& childrenOf, const KeyOf& keyOf) {
  std::vector<const Node*> found;
  std::vector<std::string> pending{root};
  std::set<std::string> seen{root};
  while (!pending.empty()) {
    std::string at = pending.back();
    pending.pop_back();
    for (const Node* child : childrenOf(at)) {
      std::string key = keyOf(*child);
      if (!seen.insert(key).second) continue;
      found.push_back(child);
      pending.push_back(key);
    }
  }
  return found;
}
