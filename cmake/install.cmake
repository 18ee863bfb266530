# Install rules
