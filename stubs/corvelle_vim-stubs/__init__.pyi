# typing stub (filled in by the binding)
