# Placeholder: the application-bundle helper (tvb_add_app_bundle) lands with the bundle work.
